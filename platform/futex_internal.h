// The futex calls every blocking wait of this layer is built on. A futex word
// is a plain uint32_t touched only through std::atomic_ref, private or in a
// mapping shared with other processes. Wake-ups may be spurious: callers loop.
#pragma once

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <optional>
#include <stop_token>

#include <linux/futex.h>
#include <linux/time_types.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace shub::os::detail {

// An absolute CLOCK_MONOTONIC time, so an interrupted wait never stretches; nullopt: none.
using Deadline = std::optional<timespec>;

inline timespec monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

inline bool before(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

inline Deadline deadlineAfterMs(uint32_t ms, bool infinite) {
  if (infinite) return std::nullopt;
  timespec at = monotonicNow();
  const long nsec = at.tv_nsec + static_cast<long>(ms % 1000) * 1000000L;
  at.tv_sec += static_cast<time_t>(ms / 1000 + nsec / 1000000000L);
  at.tv_nsec = nsec % 1000000000L;
  return at;
}

inline bool deadlinePassed(const Deadline& deadline) { return deadline && !before(monotonicNow(), *deadline); }

// Sleeps while `word` holds `expected`, until woken, the deadline or a signal.
// False with errno on any return but a wake-up (EINTR: a signal handler ran).
inline bool futexWaitUntil(uint32_t* word, uint32_t expected, const Deadline& deadline, bool shared) {
  return syscall(SYS_futex, word, FUTEX_WAIT_BITSET | (shared ? 0 : FUTEX_PRIVATE_FLAG), expected,
                 deadline ? &*deadline : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY) == 0;
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
  const timespec until = deadline.value_or(timespec{});
  __kernel_timespec at{until.tv_sec, until.tv_nsec};  // 64-bit whatever the C library's is
  if (syscall(SYS_futex_waitv, waiters, 2, 0, deadline ? &at : nullptr, CLOCK_MONOTONIC) >= 0 || errno != ENOSYS) {
    return;
  }
  const Deadline slice = deadlineAfterMs(10, false);
  futexWaitUntil(word, 0, !deadline || before(*slice, *deadline) ? slice : deadline, shared);
}

}  // namespace shub::os::detail
