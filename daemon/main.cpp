// serialhub: the resident serial-multiplexing daemon. The command line is not
// used; the exit code is 0 in every case.
#include "daemon/daemon.h"

int main() { return runDaemon(daemonState()); }
