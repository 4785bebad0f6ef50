// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Starting programs: the daemon's sleep notice and sleep program, never waited
// for; and a tool's helper (crtctl replay --run's throw-away serialhub), which
// its owner watches and stops.
#pragma once

#include <string>
#include <vector>

namespace shub::os {

// Starts the program at `devicePath` (below $CE_ROOT), `commandLine` split at
// blanks, argv[0] the host path; with our working directory, descriptors 0-2,
// default signals and the environment less the service manager's variables.
// Never waited for, never a zombie. False, with the OS error's text in `why`.
bool startProgram(const char* devicePath, const char* commandLine, std::string* why = nullptr);

// Sets (an empty value: removes) a variable of the environment started programs inherit.
void setEnvironment(const char* name, const std::string& value);

// Starts `argv[0]` in a process group of its own (a terminal's Ctrl-C is ours to
// pass on), stdout and stderr appended to `outputFile`. It gets SIGTERM when the
// thread that started it ends, even by SIGKILL: start it from the thread that
// stops it. The pid, or -1 with the OS error's text in `why` (also the
// program's, when it could not run).
int startChild(const std::vector<std::string>& argv, const std::string& outputFile, std::string* why = nullptr);

// True once the child has ended, without waiting; `status`: exit code or 128 + signal.
bool childEnded(int pid, int& status);

// SIGTERM, then up to `timeoutMs` for it to end, then SIGKILL. Its status as above.
int stopChild(int pid, int timeoutMs);

}  // namespace shub::os
