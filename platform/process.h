// Starting programs: the daemon's sleep notice and sleep program, never waited
// for; and a tool's helper (crtctl replay --run's throw-away serialhub), which
// its owner watches and stops.
#pragma once

#include <string>
#include <vector>

namespace ce {

// Starts the program at `devicePath` (resolved below $CE_ROOT) with
// `commandLine` split at blanks into its arguments; argv[0] is the host path.
// It gets the working directory, no descriptor beyond 0 to 2, default signal
// handling and the environment less the service manager's variables; it is
// never waited for, nor left a zombie. False, with the OS error in `error`,
// when it could not be executed.
bool startProgram(const char* devicePath, const char* commandLine, int* error = nullptr);

// Sets (an empty value: removes) a variable of the environment started programs inherit.
void setEnvironment(const char* name, const std::string& value);

// Starts `argv[0]` with `argv` in a process group of its own (a Ctrl-C at the
// terminal is ours to pass on), its stdout and stderr appended to
// `outputFile`. The pid, or -1 with errno set.
int startChild(const std::vector<std::string>& argv, const std::string& outputFile);

// True once the child has ended; `status` is its exit code, or 128 + the
// signal that ended it. Does not wait.
bool childEnded(int pid, int& status);

// SIGTERM, then up to `timeoutMs` for it to end, then SIGKILL. Its status as above.
int stopChild(int pid, int timeoutMs);

}  // namespace ce
