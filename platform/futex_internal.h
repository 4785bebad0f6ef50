// The two futex operations every blocking primitive of this layer is built on.
// A futex word is a plain aligned uint32_t that is only ever touched through
// std::atomic_ref, so the same code serves words in private memory and words
// in a mapping shared with other processes. Callers must tolerate spurious
// wake-ups: every wait here re-checks its condition in a loop.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ce::detail {

static_assert(std::atomic_ref<uint32_t>::required_alignment == alignof(uint32_t));

inline std::atomic_ref<uint32_t> atomicWord(uint32_t& word) { return std::atomic_ref<uint32_t>(word); }

// An absolute CLOCK_MONOTONIC deadline; `infinite` for none.
struct Deadline {
  bool infinite = true;
  timespec at{};
};

inline timespec monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

inline Deadline deadlineAfterMs(uint32_t ms, bool infinite) {
  Deadline deadline;
  deadline.infinite = infinite;
  if (infinite) return deadline;
  timespec now = monotonicNow();
  now.tv_sec += static_cast<time_t>(ms / 1000);
  now.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000L;
  }
  deadline.at = now;
  return deadline;
}

inline bool deadlinePassed(const Deadline& deadline) {
  if (deadline.infinite) return false;
  const timespec now = monotonicNow();
  if (now.tv_sec != deadline.at.tv_sec) return now.tv_sec > deadline.at.tv_sec;
  return now.tv_nsec >= deadline.at.tv_nsec;
}

// Sleeps while `word` holds `expected`, until woken or the deadline. Returns on
// wake-up, time-out, signal or a changed word alike: the caller re-checks.
inline void futexWaitUntil(uint32_t* word, uint32_t expected, const Deadline& deadline, bool shared) {
  // FUTEX_WAIT_BITSET takes an absolute time-out on CLOCK_MONOTONIC, so a
  // wait interrupted and resumed never stretches past the deadline.
  const int op = FUTEX_WAIT_BITSET | (shared ? 0 : FUTEX_PRIVATE_FLAG);
  syscall(SYS_futex, word, op, expected, deadline.infinite ? nullptr : &deadline.at, nullptr,
          FUTEX_BITSET_MATCH_ANY);
}

inline void futexWake(uint32_t* word, int count, bool shared) {
  const int op = FUTEX_WAKE | (shared ? 0 : FUTEX_PRIVATE_FLAG);
  syscall(SYS_futex, word, op, count, nullptr, nullptr, 0);
}

inline constexpr int kWakeAll = INT_MAX;

}  // namespace ce::detail
