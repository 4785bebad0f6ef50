// Readiness for a service manager: one datagram per state change ("READY=1",
// "STOPPING=1", "WATCHDOG=1") to the socket named by $NOTIFY_SOCKET. Tests
// and scripts wait for these instead of guessing when the daemon is up.
#pragma once

namespace ce {

// Sends `state` to $NOTIFY_SOCKET, a path or an abstract name written with a
// leading '@'. False when unset or the send failed; the daemon runs the same.
bool notifyServiceManager(const char* state);

// True when WATCHDOG_USEC is set and WATCHDOG_PID, if set, names this process.
bool watchdogRequested();

}  // namespace ce
