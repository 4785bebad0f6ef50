// Auto-reset events shared between processes through a futex word in a file.
// It must survive many waiters in several processes; a set or a stop landing
// between a waiter's check and its sleep (the kernel compares the words before
// sleeping); a waiter stopped while a set wakes it (it hands the wake-up on
// rather than taking the signal); an event file truncated under a sleeper (the
// stop word still reaches it); and files that are not events.
#include "platform/named_event.h"

#include <bit>
#include <new>
#include <string>

#include <unistd.h>

#include "platform/futex_internal.h"
#include "platform/object_file_internal.h"
#include "platform/paths.h"
#include "platform/stop_word_internal.h"

static_assert(std::endian::native == std::endian::little, "the event file is little-endian");

namespace ce {

namespace {

constexpr uint32_t kEventMagic = 0x544E5645;  // "EVNT"
constexpr uint32_t kEventFileSize = 8;

}  // namespace

struct NamedEvent {
  uint32_t* state = nullptr;  // the futex word: in `mapping`, or `local`
  void* mapping = nullptr;    // the event file's mapping; nullptr when unnamed
  uint32_t local = 0;
  bool shared() const { return mapping != nullptr; }
};

namespace {

// Maps an event file (closing `fd`) and checks its magic; nullptr otherwise.
NamedEvent* adoptEventFile(int fd, const std::string& path) {
  if (fd < 0) return nullptr;
  void* mapping = detail::mapObjectFile(fd, kEventFileSize, path);
  close(fd);  // the mapping keeps the file
  uint32_t* words = static_cast<uint32_t*>(mapping);
  NamedEvent* event = nullptr;
  if (words && detail::atomicWord(words[1]).load(std::memory_order_acquire) == kEventMagic) {
    event = new (std::nothrow) NamedEvent{&words[0], mapping};
  }
  if (!event) detail::unmapObjectFile(mapping, kEventFileSize);
  return event;
}

}  // namespace

NamedEvent* createEvent(const char* name, bool initiallySignalled) {
  if (!name) {
    NamedEvent* event = new (std::nothrow) NamedEvent{nullptr, nullptr, initiallySignalled ? 1u : 0u};
    if (event) event->state = &event->local;
    return event;
  }
  const std::optional<std::string> path = objectPath(name);
  if (!path) return nullptr;
  // The magic is in the file before it is linked: nobody sees a state word without it.
  const uint32_t initial[2] = {initiallySignalled ? 1u : 0u, kEventMagic};
  return adoptEventFile(detail::openOrCreateObjectFile(*path, kEventFileSize, std::as_bytes(std::span(initial))),
                        *path);
}

NamedEvent* openEvent(const char* name) {
  const std::optional<std::string> path = objectPath(name ? name : "");
  return path ? adoptEventFile(detail::openObjectFile(*path, kEventFileSize), *path) : nullptr;
}

WaitResult waitEvent(NamedEvent* event, uint32_t timeoutMs, std::stop_token stop) {
  if (!event) return WaitResult::failed;
  std::atomic_ref<uint32_t> state = detail::atomicWord(*event->state);
  const detail::Deadline deadline = detail::deadlineAfterMs(timeoutMs, timeoutMs == kInfinite);
  detail::StopWord stopWord(stop);  // before the first check: no stop from here on is slept through
  for (;;) {
    if (stop.stop_requested()) {
      // The set that woke us may have meant another waiter: pass it on.
      if (state.load(std::memory_order_acquire) != 0) detail::futexWake(event->state, 1, event->shared());
      return WaitResult::stopped;
    }
    // Any word but 0 is a signal: a client may write garbage into the file,
    // and waiting on "not 0, not 1" would spin.
    uint32_t expected = state.load(std::memory_order_relaxed);
    if (expected != 0) {
      if (state.compare_exchange_strong(expected, 0, std::memory_order_acquire)) return WaitResult::signalled;
      continue;
    }
    if (detail::deadlinePassed(deadline)) return WaitResult::timeout;
    if (stop.stop_possible()) {
      detail::futexWaitOrStop(event->state, event->shared(), stopWord.word(), deadline);
    } else {
      detail::futexWaitUntil(event->state, 0, deadline, event->shared());
    }
  }
}

bool setEvent(NamedEvent* event) {
  if (!event) return false;
  // Release: what was written before the set (a frame in a block) is seen by
  // the waiter whose swap acquires the signal.
  detail::atomicWord(*event->state).store(1, std::memory_order_release);
  detail::futexWake(event->state, 1, event->shared());
  return true;
}

bool resetEvent(NamedEvent* event) {
  if (!event) return false;
  detail::atomicWord(*event->state).store(0, std::memory_order_relaxed);
  return true;
}

void closeEvent(NamedEvent* event) {
  if (event) detail::unmapObjectFile(event->mapping, kEventFileSize);
  delete event;
}

}  // namespace ce
