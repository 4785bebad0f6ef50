// The futex calls every blocking wait of this layer is built on. A futex word
// is a plain uint32_t touched only through std::atomic_ref, private or in a
// mapping shared with other processes. Wake-ups may be spurious: callers loop.
#pragma once

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <stop_token>

#include <linux/futex.h>
#include <linux/time_types.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/client_objects.h"

namespace shub::os::detail {

// steady_clock is CLOCK_MONOTONIC: an absolute deadline, so an interrupted wait never stretches.
inline __kernel_timespec kernelTime(Clock::time_point at) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  return {ns / 1000000000, ns % 1000000000};
}

inline bool deadlinePassed(const Deadline& deadline) { return deadline && Clock::now() >= *deadline; }

// Sleeps while `word` holds `expected`, until woken, the deadline or a signal.
// False with errno on any return but a wake-up (EINTR: a signal handler ran).
inline bool futexWaitUntil(uint32_t* word, uint32_t expected, const Deadline& deadline, bool shared) {
  const __kernel_timespec at = kernelTime(deadline.value_or(Clock::time_point{}));
  const timespec until{static_cast<time_t>(at.tv_sec), static_cast<long>(at.tv_nsec)};
  return syscall(SYS_futex, word, FUTEX_WAIT_BITSET | (shared ? 0 : FUTEX_PRIVATE_FLAG), expected,
                 deadline ? &until : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY) == 0;
}

inline void futexWake(uint32_t* word, int count, bool shared) {
  syscall(SYS_futex, word, FUTEX_WAKE | (shared ? 0 : FUTEX_PRIVATE_FLAG), count, nullptr, nullptr, 0);
}

// A private word that a stop request raises and wakes, for one wait. The
// callback's destructor waits out a running stopper: the word outlives its wake.
struct StopWord {
  struct Raise {
    uint32_t* word;
    void operator()() const {
      std::atomic_ref(*word).store(1, std::memory_order_release);
      futexWake(word, INT_MAX, false);
    }
  };
  explicit StopWord(std::stop_token stop) : callback(std::move(stop), Raise{&word}) {}

  uint32_t word = 0;  // before the callback, which may raise it at once
  std::stop_callback<Raise> callback;  // neither copyable nor movable: the word stays put
};

// Sleeps while `word` and the stop word both hold 0. The kernel compares both
// before it sleeps, so no stop is slept through, even with `word` in a truncated
// file. Kernels before 5.16 lack futex_waitv: there the sleep is 10 ms slices.
inline void futexWaitOrStop(uint32_t* word, bool shared, uint32_t* stopWord, const Deadline& deadline) {
  futex_waitv waiters[2] = {{0, reinterpret_cast<uintptr_t>(word), FUTEX_32 | (shared ? 0u : FUTEX_PRIVATE_FLAG), 0},
                            {0, reinterpret_cast<uintptr_t>(stopWord), FUTEX_32 | FUTEX_PRIVATE_FLAG, 0}};
  __kernel_timespec at = kernelTime(deadline.value_or(Clock::time_point{}));
  if (syscall(SYS_futex_waitv, waiters, 2, 0, deadline ? &at : nullptr, CLOCK_MONOTONIC) >= 0 || errno != ENOSYS) {
    return;
  }
  const Clock::time_point slice = Clock::now() + std::chrono::milliseconds(10);
  futexWaitUntil(word, 0, !deadline || slice < *deadline ? slice : deadline, shared);
}

}  // namespace shub::os::detail
