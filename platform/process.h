// Starting programs of the device: a device path resolved below $CE_ROOT and
// a command line, the way the sleep sequence starts the sleep notice and the
// platform's sleep program.
#pragma once

namespace ce {

// Starts the program at `devicePath` ("\ResidentFlash2\korvent\app\duskcard.exe")
// with `commandLine` split at blanks into its arguments (nullptr or "" gives
// none); argv[0] is the resolved host path. The program inherits the
// working directory, no descriptor beyond 0 to 2, and the environment less
// the service manager's variables (NOTIFY_SOCKET, WATCHDOG_USEC,
// WATCHDOG_PID), which are the daemon's alone. It is never waited for, yet
// never left as a zombie. True when the program was executed; false when the
// path does not resolve or exec failed, with the OS error in `error`.
bool startProgram(const char* devicePath, const char* commandLine, int* error = nullptr);

}  // namespace ce
