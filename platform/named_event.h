// Auto-reset events, named (an 8-byte file in $CE_OBJECTS whose first word is
// a process-shared futex) or unnamed (private memory).
//
// File layout: offset 0 u32 state (0 not signalled, 1 signalled), offset 4 u32
// magic 0x544E5645. Set stores 1 and wakes one waiter; a satisfied wait swaps 1
// for 0, so each signal releases exactly one wait.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>

namespace ce {

inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

struct NamedEvent;  // opaque; owned by whoever created or opened it

enum class WaitResult {
  signalled,  // the wait consumed a signal
  timeout,    // the time-out passed without a signal
  stopped,    // the wait's stop token was stopped; no signal consumed
  failed,     // no event
};

// Creates the event, or opens it if `name` exists already (keeping its state).
// `name` nullptr makes an unnamed event. nullptr on failure.
NamedEvent* createEvent(const char* name, bool initiallySignalled);

// Opens an existing named event; nullptr when there is none (or the file is
// not an event).
NamedEvent* openEvent(const char* name);

// Waits up to `timeoutMs` (kInfinite: no time-out). A stop of `stop` ends the
// wait with WaitResult::stopped, also when it comes before the wait sleeps; a
// stopped wait that a set had woken passes the wake-up on to another waiter.
WaitResult waitEvent(NamedEvent* event, uint32_t timeoutMs, std::stop_token stop = {});

bool setEvent(NamedEvent* event);
bool resetEvent(NamedEvent* event);

// Closes the handle. nullptr is accepted.
void closeEvent(NamedEvent* event);

struct EventCloser {
  void operator()(NamedEvent* event) const { closeEvent(event); }
};
// An owned event handle: closed when it goes.
using EventHandle = std::unique_ptr<NamedEvent, EventCloser>;

}  // namespace ce
