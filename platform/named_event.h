// Auto-reset events, named (an 8-byte file in $CE_OBJECTS: u32 state at 0,
// 1 signalled, a process-shared futex word; u32 magic 0x544E5645 at 4) or
// unnamed (private memory). Each set releases exactly one wait.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>

namespace shub::os {

inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

struct NamedEvent;  // opaque; owned by whoever created or opened it

enum class WaitResult { signalled, timeout, stopped, failed };

// Creates the event or opens one keeping its state; `name` nullptr: unnamed. nullptr on failure.
NamedEvent* createEvent(const char* name, bool initiallySignalled);

// Opens an existing named event; nullptr when there is none.
NamedEvent* openEvent(const char* name);

// Waits up to `timeoutMs` (kInfinite: no time-out). A stop of `stop`, also one
// before the wait sleeps, ends it with `stopped` and consumes no signal: a
// stopped waiter that a set had woken passes the wake-up on to another waiter.
WaitResult waitEvent(NamedEvent* event, uint32_t timeoutMs, std::stop_token stop = {});

bool setEvent(NamedEvent* event);
bool resetEvent(NamedEvent* event);
// True while a signal waits to be taken; takes nothing.
bool eventSignalled(NamedEvent* event);
void closeEvent(NamedEvent* event);  // nullptr is accepted

struct EventCloser {
  void operator()(NamedEvent* event) const { closeEvent(event); }
};
using EventHandle = std::unique_ptr<NamedEvent, EventCloser>;

}  // namespace shub::os
