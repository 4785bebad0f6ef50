// A helper program started and owned by a tool: crtctl replay --run starts
// a throw-away serialhub, watches that it still runs, and stops it.
#pragma once

#include <string>
#include <vector>

namespace ce {

// Sets a variable of this process's environment, which started programs
// inherit; an empty value removes it.
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
