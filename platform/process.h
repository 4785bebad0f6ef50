// Starting the device's programs: the sleep notice and the sleep program.
#pragma once

namespace ce {

// Starts the program at `devicePath` (resolved below $CE_ROOT) with
// `commandLine` split at blanks into its arguments; argv[0] is the host path.
// It gets the working directory, no descriptor beyond 0 to 2, default signal
// handling and the environment less the service manager's variables; it is
// never waited for, nor left a zombie. False, with the OS error in `error`,
// when it could not be executed.
bool startProgram(const char* devicePath, const char* commandLine, int* error = nullptr);

}  // namespace ce
