// Auto-reset events shared between processes. A named event is an 8-byte file
// in $CE_OBJECTS whose first word is a process-shared futex: state 1 means
// signalled, and a wait that swaps 1 for 0 consumes the signal, so each signal
// releases exactly one wait in whichever process gets there first.
//
// It must survive: many waiters in several processes on one event; a set that
// lands between a waiter's check and its sleep (the futex compares the word
// before sleeping); a stop that lands there (the waiter sleeps on its stop
// word too); a waiter stopped while a set wakes it (it hands the wake-up on
// instead of consuming the signal); an event file truncated under a sleeper
// (the stop word still reaches it); files that are not events.
#include "platform/named_event.h"

#include <bit>
#include <new>
#include <string>

#include <unistd.h>

#include "platform/futex_internal.h"
#include "platform/object_file_internal.h"
#include "platform/object_mapping_internal.h"
#include "platform/paths.h"
#include "platform/stop_word_internal.h"

static_assert(std::endian::native == std::endian::little, "the event file is little-endian");

namespace ce {

namespace {

constexpr uint32_t kEventMagic = 0x544E5645;  // "EVNT"
constexpr size_t kEventFileSize = 8;

}  // namespace

struct NamedEvent {
  uint32_t* state = nullptr;  // the futex word: in `mapping`, or `local[0]`
  void* mapping = nullptr;    // the event file's mapping; nullptr when unnamed
  bool shared = false;        // named events use process-shared futex operations
  alignas(8) uint32_t local[2] = {0, 0};
};

namespace {

// Maps an event file and checks that it is one; nullptr otherwise. Closes `fd`.
NamedEvent* adoptEventFile(int fd, const std::string& path) {
  if (detail::objectFileSize(fd) != static_cast<off_t>(kEventFileSize)) {
    close(fd);
    return nullptr;
  }
  void* mapping = detail::mapObjectFile(fd, kEventFileSize, path);
  close(fd);  // the mapping keeps the file
  if (mapping == nullptr) return nullptr;
  uint32_t* words = static_cast<uint32_t*>(mapping);
  if (detail::atomicWord(words[1]).load(std::memory_order_acquire) != kEventMagic) {
    detail::unmapObjectFile(mapping, kEventFileSize);
    return nullptr;
  }
  NamedEvent* event = new (std::nothrow) NamedEvent;
  if (!event) {
    detail::unmapObjectFile(mapping, kEventFileSize);
    return nullptr;
  }
  event->state = &words[0];
  event->mapping = mapping;
  event->shared = true;
  return event;
}

}  // namespace

NamedEvent* createEvent(const char* name, bool initiallySignalled) {
  if (!name) {
    NamedEvent* event = new (std::nothrow) NamedEvent;
    if (!event) return nullptr;
    event->state = &event->local[0];
    detail::atomicWord(*event->state).store(initiallySignalled ? 1 : 0, std::memory_order_release);
    return event;
  }
  const std::optional<std::string> path = objectPath(name);
  if (!path) return nullptr;
  // The magic goes into the temporary file before it is linked, so no process
  // can open the name and see a state word without its magic.
  const uint32_t initial[2] = {initiallySignalled ? 1u : 0u, kEventMagic};
  bool created = false;
  const int fd = detail::openOrCreateObjectFile(*path, kEventFileSize, initial, sizeof initial, created);
  if (fd < 0) return nullptr;
  return adoptEventFile(fd, *path);  // an existing event keeps its state
}

NamedEvent* openEvent(const char* name) {
  if (!name) return nullptr;
  const std::optional<std::string> path = objectPath(name);
  if (!path) return nullptr;
  const int fd = detail::openObjectFile(*path);
  if (fd < 0) return nullptr;
  return adoptEventFile(fd, *path);
}

WaitResult waitEvent(NamedEvent* event, uint32_t timeoutMs, std::stop_token stop) {
  if (!event) return WaitResult::failed;
  uint32_t* word = event->state;
  std::atomic_ref<uint32_t> state = detail::atomicWord(*word);
  const detail::Deadline deadline = detail::deadlineAfterMs(timeoutMs, timeoutMs == kInfinite);
  // Registered before the first check: a stop from then on raises the word
  // that the sleep below also watches.
  detail::StopWord stopWord(stop);
  for (;;) {
    if (stop.stop_requested()) {
      // The set that woke us may have meant any waiter; we take nothing, so
      // pass the wake-up on to one that still sleeps.
      if (state.load(std::memory_order_acquire) != 0) detail::futexWake(word, 1, event->shared);
      return WaitResult::stopped;
    }
    // Any word other than 0 counts as a signal: a client may write garbage
    // into the file, and waiting on it as "not 0, not 1" would spin.
    uint32_t expected = state.load(std::memory_order_relaxed);
    if (expected != 0 &&
        state.compare_exchange_strong(expected, 0, std::memory_order_acquire, std::memory_order_relaxed)) {
      return WaitResult::signalled;
    }
    if (expected != 0) continue;  // changed under us: look again
    if (detail::deadlinePassed(deadline)) return WaitResult::timeout;
    if (stop.stop_possible()) {
      detail::futexWaitOrStop(word, event->shared, stopWord.word(), deadline);
    } else {
      detail::futexWaitUntil(word, 0, deadline, event->shared);  // nothing can stop this wait
    }
  }
}

bool setEvent(NamedEvent* event) {
  if (!event) return false;
  // Release: whatever was written before the set (a frame in a block) is seen
  // by the waiter whose swap acquires the signal.
  detail::atomicWord(*event->state).store(1, std::memory_order_release);
  detail::futexWake(event->state, 1, event->shared);
  return true;
}

bool resetEvent(NamedEvent* event) {
  if (!event) return false;
  detail::atomicWord(*event->state).store(0, std::memory_order_relaxed);
  return true;
}

void closeEvent(NamedEvent* event) {
  if (!event) return;
  if (event->mapping) detail::unmapObjectFile(event->mapping, kEventFileSize);
  delete event;
}

}  // namespace ce
