// Client-side access to named objects and the event protocol, compiled into
// libserialhub too. Any group member can shrink an object under a client, so
// mappings go through the SIGBUS guard, which passes every other SIGBUS on to
// the program's own.
#include "platform/client_objects.h"

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <linux/membarrier.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <serialhub/protocol.h>

#include "platform/futex_internal.h"
#include "platform/mapping_guard.h"
#include "platform/named_event.h"
#include "platform/paths.h"

namespace shub::os {

int detail::openObjectFile(const std::string& path, uint32_t size) {
  // Non-blocking: a FIFO planted in the directory cannot hang the open.
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  struct stat info {};
  if (fd < 0 || (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == off_t{size})) return fd;
  close(fd);
  errno = EINVAL;
  return -1;
}

Block::Block(int fd, uint32_t size, std::string_view notice) : fd_(fd), size_(size) {
  address_ = fd < 0 ? nullptr : static_cast<uint8_t*>(mapGuarded(fd, size, notice, &tripped_));
  if (address_ == nullptr && fd >= 0) {
    const int error = errno;
    close(std::exchange(fd_, -1));
    errno = error;
  }
}

Block& Block::operator=(Block&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    address_ = std::exchange(other.address_, nullptr);
    size_ = std::exchange(other.size_, 0);
    tripped_ = std::exchange(other.tripped_, nullptr);
  }
  return *this;
}

void Block::reset() {
  unmapGuarded(address_, size_);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  address_ = nullptr;
  size_ = 0;
  tripped_ = nullptr;
}

Block Block::open(std::string_view name, uint32_t size) {
  const std::optional<std::string> path = objectPath(name);
  errno = EINVAL;  // for a name that cannot be an object
  return Block(path ? detail::openObjectFile(*path, size) : -1, size, {});
}

WaitResult takeSignal(uint32_t* state, bool shared, const Deadline& deadline, std::stop_token stop) {
  const std::atomic_ref word(*state);
  detail::StopWord stopWord(stop);  // before the first check: no later stop is slept through
  for (;;) {
    if (stop.stop_requested()) {
      // The set that woke us may have meant another waiter: pass it on.
      if (word.load(std::memory_order_acquire) != 0) detail::futexWake(state, 1, shared);
      return WaitResult::stopped;
    }
    // Any word but 0 is a signal: waiting on "not 0, not 1" would spin on garbage.
    uint32_t expected = word.load(std::memory_order_relaxed);
    if (expected != 0) {
      if (word.compare_exchange_strong(expected, 0, std::memory_order_acquire)) return WaitResult::signalled;
    } else if (detail::deadlinePassed(deadline)) {
      return WaitResult::timeout;
    } else if (stop.stop_possible()) {
      detail::futexWaitOrStop(state, shared, &stopWord.word, deadline);
    } else if (!detail::futexWaitUntil(state, 0, deadline, shared) && errno == EINTR) {
      return WaitResult::interrupted;
    }
  }
}

void giveSignal(uint32_t* state, bool shared) {
  std::atomic_ref(*state).store(1, std::memory_order_release);
  detail::futexWake(state, 1, shared);
}

Event Event::open(std::string_view name) {
  Event event;
  event.file_ = Block::open(name, SHUB_EVENT_SIZE);
  if (event.file_.valid() && wordAt(event.file_.data(), SHUB_EVENT_MAGIC_OFFSET).load() != SHUB_EVENT_MAGIC) {
    event.file_ = Block();
    errno = EINVAL;
  }
  return event;
}

static_assert(SHUB_EVENT_STATE_OFFSET == 0);
uint32_t* Event::word() const { return local_ ? local_.get() : reinterpret_cast<uint32_t*>(file_.data()); }

void Event::signal() {
  if (valid()) giveSignal(word(), !local_);
}

void Event::clear() {
  if (valid()) std::atomic_ref(*word()).store(0, std::memory_order_relaxed);
}

bool Event::signalled() const { return valid() && std::atomic_ref(*word()).load(std::memory_order_acquire) != 0; }

WaitResult Event::take(const Deadline& deadline) {
  return valid() ? takeSignal(word(), !local_, deadline) : WaitResult::failed;
}

WaitResult Event::wait(Timeout timeout, std::stop_token stop) {
  if (!valid()) return WaitResult::failed;
  const Deadline deadline = deadlineAfter(timeout);
  WaitResult result;
  while ((result = takeSignal(word(), !local_, deadline, stop)) == WaitResult::interrupted) {
  }
  return result;
}

bool waitSharedWord(uint32_t* word, uint32_t expected, const Deadline& deadline) {
  return detail::futexWaitUntil(word, expected, deadline, true) || errno != EINTR;
}

void wakeSharedWord(uint32_t* word, int count) { detail::futexWake(word, count, true); }

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
