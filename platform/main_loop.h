// The daemon's main loop: one thread waiting on a periodic tick and on the
// stop signals (SIGTERM, SIGINT, SIGHUP), with no display and no message
// queue. A stop signal ends the loop so that the caller's ordered shutdown
// runs; it never kills the process, provided blockStopSignals() ran first.
#pragma once

#include <cstdint>
#include <functional>

namespace ce {

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread. Called on the first
// line of main, so every thread inherits the mask and the loop's descriptor
// is the only receiver: a stop signal that arrives before the loop runs stays
// pending until it does. Programs started through startProgram() get an
// empty mask back.
void blockStopSignals();

// Keeps every thread's allocations in the main heap. The service threads
// allocate a few bytes each; an arena of their own would cost a dirty page or
// two apiece for the daemon's whole life.
void useOneHeap();

struct MainLoop;  // opaque; owned by the caller from open to close

// The stop signals' descriptor and a tick of `periodMs` on the monotonic
// clock. nullptr when either cannot be made; the failure is said on stderr.
MainLoop* openMainLoop(uint32_t periodMs);

// Calls `onTick` every `periodMs`, the first time `periodMs` after the call,
// until a stop signal arrives. Ticks missed while
// `onTick` ran (a long pause inside it) give one more call, never a burst. A
// stop signal pending together with a tick wins: no tick runs after it.
void runMainLoop(MainLoop* loop, const std::function<void()>& onTick);

// Closes both descriptors; nullptr is accepted.
void closeMainLoop(MainLoop* loop);

}  // namespace ce
