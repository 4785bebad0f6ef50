// The daemon's main loop: one thread waiting on a periodic tick and on the
// stop signals (SIGTERM, SIGINT, SIGHUP). A stop signal ends the loop so that
// the caller's ordered shutdown runs; it never kills the process, provided
// blockStopSignals() ran first. Also what the loop tells a service manager.
#pragma once

#include <cstdint>
#include <functional>

namespace ce {

// Blocks the stop signals in the calling thread. Called on the first line of
// main, so every thread inherits the mask and a stop signal that arrives
// before the loop runs stays pending until it does.
void blockStopSignals();

// Keeps every thread's allocations in the main heap: an arena per service
// thread would cost a dirty page or two apiece for the daemon's whole life.
void useOneHeap();

struct MainLoop;

// nullptr, said on stderr, when the loop's descriptors cannot be made.
MainLoop* openMainLoop(uint32_t periodMs);

// Calls `onTick` every `periodMs`, the first time `periodMs` after the call,
// until a stop signal arrives. Ticks missed while `onTick` ran give one more
// call, never a burst; a stop pending together with a tick wins.
void runMainLoop(MainLoop* loop, const std::function<void()>& onTick);

void closeMainLoop(MainLoop* loop);  // nullptr is accepted

// Sends `state` ("READY=1", "STOPPING=1", "WATCHDOG=1") to the datagram socket
// $NOTIFY_SOCKET, a path or an abstract name written with a leading '@'.
// False when unset or the send failed; the daemon runs the same either way.
bool notifyServiceManager(const char* state);

// True when WATCHDOG_USEC is set and WATCHDOG_PID, if set, names this process.
bool watchdogRequested();

}  // namespace ce
