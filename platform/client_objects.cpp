// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Client-side access to named objects and the event protocol, compiled into
// libserialhub too.
#include "platform/client_objects.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <linux/time_types.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <serialhub/protocol.h>

#include "platform/paths.h"

namespace shub::os {

// The futex calls every blocking wait here is built on. A futex word is a
// plain uint32_t touched only through std::atomic_ref, private or in a mapping
// shared with other processes. Wake-ups may be spurious: callers loop.
namespace {

// steady_clock is CLOCK_MONOTONIC: an absolute deadline, so an interrupted wait never stretches.
__kernel_timespec kernelTime(Clock::time_point at) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  return {ns / 1000000000, ns % 1000000000};
}

// The futex call whose timespec has 64-bit seconds, whatever the C library's
// time_t: a 32-bit target has futex_time64 beside the old call, and the C
// library's timespec is never handed to the kernel. Handing a 64-bit-time
// timespec to the old call cuts the deadline and turns every wait into a spin.
#ifdef SYS_futex_time64
constexpr long kTimedFutex = SYS_futex_time64;
#else
constexpr long kTimedFutex = SYS_futex;
static_assert(sizeof(__kernel_old_timespec) == sizeof(__kernel_timespec),
              "without futex_time64, the futex call must take 64-bit seconds");
#endif
static_assert(sizeof(__kernel_timespec::tv_sec) == 8 && sizeof(__kernel_timespec::tv_nsec) == 8);

// A 32-bit kernel before 5.1 has only the old call: its timespec holds 32-bit
// seconds, plenty for a CLOCK_MONOTONIC deadline.
long futexWaitOldTime(uint32_t* word, int operation, uint32_t expected, const __kernel_timespec* at) {
#ifdef SYS_futex_time64
  __kernel_old_timespec old{};
  if (at != nullptr) {
    old.tv_sec = static_cast<__kernel_old_time_t>(std::min<long long>(at->tv_sec, INT32_MAX));
    old.tv_nsec = static_cast<long>(at->tv_nsec);
  }
  return syscall(SYS_futex, word, operation, expected, at != nullptr ? &old : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
#else
  (void)word, (void)operation, (void)expected, (void)at;
  errno = ENOSYS;
  return -1;
#endif
}

// Sleeps while `word` holds `expected`, until woken, the deadline or a signal.
// False with errno on any return but a wake-up (EINTR: a signal handler ran).
bool futexWaitUntil(uint32_t* word, uint32_t expected, const Deadline& deadline, bool shared) {
  const __kernel_timespec at = kernelTime(deadline.value_or(Clock::time_point{}));
  const int operation = FUTEX_WAIT_BITSET | (shared ? 0 : FUTEX_PRIVATE_FLAG);
  const long done = syscall(kTimedFutex, word, operation, expected, deadline ? &at : nullptr, nullptr,
                            FUTEX_BITSET_MATCH_ANY);
  if (done == 0) return true;
  if (errno != ENOSYS) return false;
  return futexWaitOldTime(word, operation, expected, deadline ? &at : nullptr) == 0;
}

void futexWake(uint32_t* word, int count, bool shared) {
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
void futexWaitOrStop(uint32_t* word, bool shared, uint32_t* stopWord, const Deadline& deadline) {
  futex_waitv waiters[2] = {{0, reinterpret_cast<uintptr_t>(word), FUTEX_32 | (shared ? 0u : FUTEX_PRIVATE_FLAG), 0},
                            {0, reinterpret_cast<uintptr_t>(stopWord), FUTEX_32 | FUTEX_PRIVATE_FLAG, 0}};
  __kernel_timespec at = kernelTime(deadline.value_or(Clock::time_point{}));
  if (syscall(SYS_futex_waitv, waiters, 2, 0, deadline ? &at : nullptr, CLOCK_MONOTONIC) >= 0 || errno != ENOSYS) {
    return;
  }
  const Clock::time_point slice = Clock::now() + std::chrono::milliseconds(10);
  futexWaitUntil(word, 0, !deadline || slice < *deadline ? slice : deadline, shared);
}

// The event protocol, its one implementation: a state word, 0 not signalled and
// anything else signalled. A waiter swaps a signal for 0, else sleeps while
// the word is 0; the deadline, a stop of `stop` (one requested before the
// sleep too) or a signal handler end the wait. A stopped waiter passes on the
// wake-up a set may have meant for another.
WaitResult takeSignal(uint32_t* state, bool shared, const Deadline& deadline, std::stop_token stop = {}) {
  const std::atomic_ref word(*state);
  StopWord stopWord(stop);  // before the first check: no later stop is slept through
  for (;;) {
    if (stop.stop_requested()) {
      // The set that woke us may have meant another waiter: pass it on.
      if (word.load(std::memory_order_acquire) != 0) futexWake(state, 1, shared);
      return WaitResult::stopped;
    }
    // Any word but 0 is a signal: waiting on "not 0, not 1" would spin on garbage.
    uint32_t expected = word.load(std::memory_order_relaxed);
    if (expected != 0) {
      if (word.compare_exchange_strong(expected, 0, std::memory_order_acquire)) return WaitResult::signalled;
    } else if (deadline && Clock::now() >= *deadline) {
      return WaitResult::timeout;
    } else if (stop.stop_possible()) {
      futexWaitOrStop(state, shared, &stopWord.word, deadline);
    } else if (!futexWaitUntil(state, 0, deadline, shared) && errno == EINTR) {
      return WaitResult::interrupted;
    }
  }
}

}  // namespace

int openObjectFile(const std::string& path, uint32_t size) {
  // Non-blocking: a FIFO planted in the directory cannot hang the open.
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  struct stat info {};
  if (fd < 0 || (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
                  static_cast<uint64_t>(info.st_size) == size)) {
    return fd;
  }
  close(fd);
  errno = EINVAL;
  return -1;
}

Block Block::open(std::string_view name, uint32_t size) {
  const std::optional<std::string> path = objectPath(name);
  errno = EINVAL;  // for a name that cannot be an object
  return Block(path ? openObjectFile(*path, size) : -1, size, {});
}

bool Event::hasMagic() const {
  return file_.valid() && wordAt(file_.data(), SHUB_EVENT_MAGIC_OFFSET).load() == SHUB_EVENT_MAGIC;
}

Event Event::open(std::string_view name) {
  Event event;
  event.file_ = Block::open(name, SHUB_EVENT_SIZE);
  if (event.file_.valid() && !event.hasMagic()) {
    event.file_ = Block();
    errno = EINVAL;
  }
  return event;
}

static_assert(SHUB_EVENT_STATE_OFFSET == 0 && SHUB_EVENT_MAGIC_OFFSET == 4 && SHUB_EVENT_SIZE == 8);
static_assert(SHUB_BLOCK_LENGTH_OFFSET == 0 && SHUB_BLOCK_DATA_OFFSET % 8 == 0 &&
              SHUB_BLOCK_DATA_OFFSET + SHUB_BLOCK_DATA_SIZE == SHUB_BLOCK_LOCK_OFFSET &&
              SHUB_BLOCK_LOCK_OFFSET % 4 == 0 && SHUB_BLOCK_LOCK_OFFSET + SHUB_BLOCK_LOCK_SIZE == SHUB_BLOCK_SIZE &&
              SHUB_LOCK_MAGIC_OFFSET + 4 == SHUB_BLOCK_LOCK_SIZE);
uint32_t* Event::word() const { return reinterpret_cast<uint32_t*>(file_.data()); }

void Event::signal() {
  if (!valid()) return;
  // Release: a frame written before the signal is seen by the waiter that takes it.
  std::atomic_ref(*word()).store(1, std::memory_order_release);
  futexWake(word(), 1, true);
}

void Event::clear() {
  if (valid()) std::atomic_ref(*word()).store(0, std::memory_order_relaxed);
}

bool Event::signalled() const { return valid() && std::atomic_ref(*word()).load(std::memory_order_acquire) != 0; }

WaitResult Event::wait(Timeout timeout, std::stop_token stop) {
  const Deadline deadline = timeout ? Deadline(Clock::now() + *timeout) : std::nullopt;
  return valid() ? takeSignal(word(), true, deadline, std::move(stop)) : WaitResult::failed;
}

bool waitSharedWord(uint32_t* word, uint32_t expected, const Deadline& deadline) {
  return futexWaitUntil(word, expected, deadline, true) || errno != EINTR;
}

void wakeSharedWord(uint32_t* word, int count) { futexWake(word, count, true); }

bool fenceRegisteredProcesses() { return syscall(SYS_membarrier, MEMBARRIER_CMD_GLOBAL_EXPEDITED, 0, 0) == 0; }

bool lockedByAnother(int fd) {
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  flock(fd, LOCK_UN);
  return false;
}

// flock has no time-out of its own: a writer holds it for one hand-over, so
// short naps waste little.
bool lockExclusiveUntil(int fd, Clock::time_point deadline) {
  for (auto nap = std::chrono::microseconds(50);; nap = std::min(nap * 2, std::chrono::microseconds(2000))) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (Clock::now() >= deadline) {
      errno = ETIMEDOUT;
      return false;
    }
    std::this_thread::sleep_for(nap);
  }
}

}  // namespace shub::os
