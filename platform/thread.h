// Threads with a cooperative stop. The Windows original terminated threads
// forcibly; here a stop request wakes the thread out of any waitEvent() or
// pauseMs() it is blocked in, and stopThread() returns once the routine has
// returned, so nothing runs on that thread afterwards.
//
// A stopped waiter never consumes a signal: other processes and threads waiting
// on the same named event still get it.
#pragma once

#include <functional>

namespace ce {

struct Thread;  // opaque

// Starts `routine` on a new thread; nullptr on failure.
Thread* startThread(std::function<void()> routine);

// Asks the thread to stop, wakes it from its current wait, and waits until its
// routine has returned. Safe to call on a thread that has already returned.
void stopThread(Thread* thread);

// Releases the handle. A thread that is still running is stopped first.
// nullptr is accepted.
void closeThread(Thread* thread);

// True inside a platform thread whose stop has been requested. Routines whose
// loops have no wait check it.
bool stopRequested();

// Registers a wake-up for the current thread's stop request, for waits outside
// this layer's events (poll on a port, say). Used by other platform modules.
struct StopHook {
  void (*wake)(void* context) = nullptr;
  void* context = nullptr;
};
void setStopHook(StopHook hook);

}  // namespace ce
