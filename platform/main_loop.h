// The daemon's main loop on a periodic tick until a stop signal (SIGTERM, SIGINT,
// SIGHUP) lets the ordered shutdown run; and what it tells its service manager.
#pragma once

#include <cstdint>
#include <functional>

namespace shub::os {

// Called on the first line of main, so that every thread inherits the mask
// and a stop signal that comes before the loop runs stays pending until it does.
void blockStopSignals();

// An arena per service thread would cost a dirty page or two apiece for good.
void useOneHeap();

struct MainLoop;

// nullptr, said on stderr, when the loop's descriptors cannot be made.
MainLoop* openMainLoop(uint32_t periodMs);

// Calls `onTick` every `periodMs` from now until a stop signal arrives. Ticks
// missed while `onTick` ran give one call, never a burst; a stop pending with a tick wins.
void runMainLoop(MainLoop* loop, const std::function<void()>& onTick);

void closeMainLoop(MainLoop* loop);  // nullptr is accepted

// Sends `state` ("READY=1", "STOPPING=1", "WATCHDOG=1") to $NOTIFY_SOCKET, a
// path or an abstract name written "@name"; false when unset or not sent.
bool notifyServiceManager(const char* state);

// True when WATCHDOG_USEC is set and WATCHDOG_PID, if set, names this process.
bool watchdogRequested();

}  // namespace shub::os
