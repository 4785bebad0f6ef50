// serialhub: the resident serial-multiplexing daemon. The command line is not
// used; the exit code is 0 in every case.
#include "daemon/daemon.h"
#include "platform/main_loop.h"

int main() {
  // Before anything else: every thread inherits the mask, so a stop signal,
  // even one in the first milliseconds, waits for the main loop instead of
  // killing the process.
  ce::blockStopSignals();
  return runDaemon(daemonState());
}
