// Readiness for a service manager: the notify protocol, one datagram per
// state change ("READY=1", "STOPPING=1") to the socket named by
// $NOTIFY_SOCKET. Tests and scripts wait for these instead of guessing when
// the daemon is up.
#pragma once

namespace ce {

// Sends `state` to $NOTIFY_SOCKET: a path, or an abstract name written with a
// leading '@'. False when the variable is unset or the send failed; callers
// need not care, the daemon runs the same either way.
bool notifyServiceManager(const char* state);

// True when the service manager watches this process: WATCHDOG_USEC is set
// and WATCHDOG_PID, if set, names this process. It then expects WATCHDOG=1
// more often than every WATCHDOG_USEC microseconds.
bool watchdogRequested();

}  // namespace ce
