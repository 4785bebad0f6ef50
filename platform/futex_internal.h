// The two futex operations every blocking primitive of this layer is built on.
// A futex word is a plain aligned uint32_t that is only ever touched through
// std::atomic_ref, so the same code serves words in private memory and words
// in a mapping shared with other processes. Callers must tolerate spurious
// wake-ups: every wait here re-checks its condition in a loop.
#pragma once

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include <linux/futex.h>
#include <linux/time_types.h>
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

// Sleeps while `word` holds 0 and `stopWord` holds 0, until either is woken or
// the deadline passes; the caller re-checks both. The kernel compares both
// words before it sleeps, so a stop raised just before is never slept through.
// A thread asleep here also wakes on the stop word when `word` lies in a file
// that another process truncated (a wake-up can no longer reach that word).
// Kernels before 5.16 lack the vector wait: there the sleep is cut into slices
// of kStopSliceMs, after which the caller sees the stop.
inline constexpr uint32_t kStopSliceMs = 10;

inline Deadline earlier(const Deadline& deadline, uint32_t ms) {
  const Deadline slice = deadlineAfterMs(ms, false);
  if (deadline.infinite) return slice;
  const bool sliceFirst = slice.at.tv_sec != deadline.at.tv_sec ? slice.at.tv_sec < deadline.at.tv_sec
                                                                  : slice.at.tv_nsec < deadline.at.tv_nsec;
  return sliceFirst ? slice : deadline;
}

inline void futexWaitOrStop(uint32_t* word, bool shared, uint32_t* stopWord, const Deadline& deadline) {
  futex_waitv waiters[2] = {};
  waiters[0].uaddr = reinterpret_cast<uintptr_t>(word);
  waiters[0].flags = FUTEX_32 | (shared ? 0 : FUTEX_PRIVATE_FLAG);
  waiters[1].uaddr = reinterpret_cast<uintptr_t>(stopWord);
  waiters[1].flags = FUTEX_32 | FUTEX_PRIVATE_FLAG;
  // The vector wait takes the kernel's 64-bit timespec whatever the C library's is.
  __kernel_timespec at{deadline.at.tv_sec, deadline.at.tv_nsec};
  if (syscall(SYS_futex_waitv, waiters, 2, 0, deadline.infinite ? nullptr : &at, CLOCK_MONOTONIC) >= 0 ||
      errno != ENOSYS) {
    return;
  }
  futexWaitUntil(word, 0, earlier(deadline, kStopSliceMs), shared);
}

inline void futexWake(uint32_t* word, int count, bool shared) {
  const int op = FUTEX_WAKE | (shared ? 0 : FUTEX_PRIVATE_FLAG);
  syscall(SYS_futex, word, op, count, nullptr, nullptr, 0);
}

inline constexpr int kWakeAll = INT_MAX;

}  // namespace ce::detail
