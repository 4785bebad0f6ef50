// serialhub: the resident serial-multiplexing daemon.
#include "daemon/daemon.h"
#include "platform/main_loop.h"

int main() {
  // Before anything else: every thread inherits the mask, so a stop signal,
  // even one in the first milliseconds, waits for the main loop instead of
  // killing the process.
  ce::blockStopSignals();
  ce::useOneHeap();
  return runDaemon(daemonState());
}
