// Named blocks, events, mutexes and the daemon's status object: files in
// $CE_OBJECTS (a tmpfs by default) that outlive their makers. They survive
// creators racing for a name (nobody sees an object half made), files planted
// or shrunk by other processes (mapping_guard.h), and a stop or a set just
// before a sleep.
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>
#include <span>

#include <fcntl.h>
#include <linux/membarrier.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <serialhub/protocol.h>

#include "platform/client_objects.h"
#include "platform/futex_internal.h"
#include "platform/log.h"
#include "platform/mapping_guard.h"
#include "platform/named_block.h"
#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/status_object.h"

static_assert(std::endian::native == std::endian::little, "the event file is little-endian");

namespace shub::os {

struct NamedEvent {
  uint32_t* mapping;   // the event file's; nullptr when unnamed
  uint32_t local = 0;  // the unnamed event's word
  uint32_t* word() { return mapping ? mapping : &local; }
  bool shared() const { return mapping != nullptr; }
};

namespace {

// Opens the object file at `path`, or creates it with `size` bytes, zeros
// after `initial`, under a dot name linked into place (the first link wins).
int openOrCreateObjectFile(const std::string& path, uint32_t size, std::span<const std::byte> initial = {}) {
  const size_t slash = path.rfind('/') + 1;
  // Repeats only when the name vanishes between a failed link and the open.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = detail::openObjectFile(path, size);
    if (fd >= 0 || errno != ENOENT) return fd;
    std::string temporary = path.substr(0, slash) + "." + path.substr(slash) + ".XXXXXX";
    if ((fd = mkostemp(temporary.data(), O_CLOEXEC)) < 0) return -1;
    // Group members use the objects, others never: whatever the umask.
    const bool made = fchmod(fd, 0660) == 0 && ftruncate(fd, size) == 0 &&
                      pwrite(fd, initial.data(), initial.size(), 0) == static_cast<ssize_t>(initial.size()) &&
                      link(temporary.c_str(), path.c_str()) == 0;
    const int error = errno;
    unlink(temporary.c_str());
    if (made) return fd;
    close(fd);
    errno = error;
    if (error != EEXIST) return -1;
  }
  return -1;
}

// Maps `fd` shared under the SIGBUS guard, which says once that the file shrank.
void* mapObjectFile(int fd, size_t size, const std::string& path) {
  return mapGuarded(fd, size, logLinePrefix(LogLevel::warning) + path +
                                  ": the file shrank under us (another process truncated it); this object no longer works\n");
}

void unmapObjectFile(void* address, size_t size) { unmapGuarded(address, size); }

constexpr uint32_t kEventMagic = 0x544E5645;  // "EVNT"
constexpr uint32_t kEventFileSize = 8;

// Maps an event file (closing `fd`) if it holds the magic.
NamedEvent* adoptEventFile(int fd, const std::string& path) {
  if (fd < 0) return nullptr;
  auto* words = static_cast<uint32_t*>(mapObjectFile(fd, kEventFileSize, path));
  close(fd);  // the mapping keeps the file
  const bool isEvent = words && std::atomic_ref(words[1]).load() == kEventMagic;
  NamedEvent* event = isEvent ? new (std::nothrow) NamedEvent{words} : nullptr;
  if (!event) unmapObjectFile(words, kEventFileSize);
  return event;
}

// The daemon-alive lock is an exclusive flock, which the kernel drops however
// the daemon dies. A client's probe holds a shared one for microseconds,
// another daemon the exclusive one for ever: retrying a while tells them apart.
bool takeAliveLock(int fd) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
    usleep(1000);
  }
  return false;  // errno says EWOULDBLOCK
}

}  // namespace

NamedBlock openOrCreateBlock(std::string_view name, uint32_t size) {
  const std::optional<std::string> path = objectPath(name);
  const int fd = path && size > 0 ? openOrCreateObjectFile(*path, size) : -1;
  return fd < 0 ? NamedBlock{} : NamedBlock{fd, size, *path};
}

uint8_t* mapBlock(const NamedBlock& block) {
  return static_cast<uint8_t*>(mapObjectFile(block.fd, block.size, block.path));  // fails for no block
}

void unmapBlock(uint8_t* address, uint32_t size) { unmapObjectFile(address, size); }

NamedBlock& NamedBlock::operator=(NamedBlock&& other) noexcept {
  closeBlock(*this);  // leaves it empty, so the swaps leave `other` empty
  std::swap(fd, other.fd);
  std::swap(size, other.size);
  path.swap(other.path);
  return *this;
}

NamedBlock::~NamedBlock() { closeBlock(*this); }

void closeBlock(NamedBlock& block) {
  if (block.valid()) close(std::exchange(block.fd, -1));
  block.size = 0;
  block.path.clear();
}

NamedEvent* createEvent(const char* name, bool initiallySignalled) {
  if (!name) return new (std::nothrow) NamedEvent{nullptr, initiallySignalled ? 1u : 0u};
  const std::optional<std::string> path = objectPath(name);
  // The magic is in the file before it is linked: nobody sees a state word without it.
  const uint32_t initial[2] = {initiallySignalled ? 1u : 0u, kEventMagic};
  return path ? adoptEventFile(openOrCreateObjectFile(*path, kEventFileSize, std::as_bytes(std::span(initial))), *path)
              : nullptr;
}

NamedEvent* openEvent(const char* name) {
  const std::optional<std::string> path = objectPath(name ? name : "");
  return path ? adoptEventFile(detail::openObjectFile(*path, kEventFileSize), *path) : nullptr;
}

WaitResult waitEvent(NamedEvent* event, uint32_t timeoutMs, std::stop_token stop) {
  if (!event) return WaitResult::failed;
  uint32_t* word = event->word();
  const std::atomic_ref state(*word);
  const detail::Deadline deadline = detail::deadlineAfterMs(timeoutMs, timeoutMs == kInfinite);
  detail::StopWord stopWord(stop);  // before the first check: no later stop is slept through
  for (;;) {
    if (stop.stop_requested()) {
      // The set that woke us may have meant another waiter: pass it on.
      if (state.load(std::memory_order_acquire) != 0) detail::futexWake(word, 1, event->shared());
      return WaitResult::stopped;
    }
    // Any word but 0 is a signal: waiting on "not 0, not 1" would spin on garbage.
    uint32_t expected = state.load(std::memory_order_relaxed);
    if (expected != 0) {
      if (state.compare_exchange_strong(expected, 0, std::memory_order_acquire)) return WaitResult::signalled;
    } else if (detail::deadlinePassed(deadline)) {
      return WaitResult::timeout;
    } else if (stop.stop_possible()) {
      detail::futexWaitOrStop(word, event->shared(), &stopWord.word, deadline);
    } else {
      detail::futexWaitUntil(word, 0, deadline, event->shared());
    }
  }
}

bool setEvent(NamedEvent* event) {
  if (!event) return false;
  // Release: a frame written before the set is seen by the waiter that takes it.
  std::atomic_ref(*event->word()).store(1, std::memory_order_release);
  detail::futexWake(event->word(), 1, event->shared());
  return true;
}

bool eventSignalled(NamedEvent* event) {
  return event != nullptr && std::atomic_ref(*event->word()).load(std::memory_order_acquire) != 0;
}

bool resetEvent(NamedEvent* event) {
  if (event) std::atomic_ref(*event->word()).store(0, std::memory_order_relaxed);
  return event != nullptr;
}

void closeEvent(NamedEvent* event) {
  if (event) unmapObjectFile(event->mapping, kEventFileSize);
  delete event;
}

struct NamedMutex {
  int fd;  // holds the shared lock while open
};

// Whether another process holds the name: flock converts by dropping the lock,
// so a bare try-exclusive-then-downgrade lets two starters both see it free. An
// OFD write lock (which flock never sees) serialises the check-and-downgrade.
NamedMutex* createMutex(const char* name, bool& alreadyExisted) {
  alreadyExisted = false;
  const std::optional<std::string> path = objectPath(name ? name : "");
  // Never through a link: it would create or lock whatever file it points at.
  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
  const int fd = path ? open(path->c_str(), flags, 0660) : -1;
  struct stat info {};
  struct flock gate {};
  gate.l_type = F_WRLCK;
  bool held = fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  while (held && fcntl(fd, F_OFD_SETLKW, &gate) != 0) held = errno == EINTR;
  if (held) {
    alreadyExisted = flock(fd, LOCK_EX | LOCK_NB) != 0;  // holders only ever hold it shared
    held = flock(fd, LOCK_SH | LOCK_NB) == 0;
    gate.l_type = F_UNLCK;
    fcntl(fd, F_OFD_SETLK, &gate);
  }
  NamedMutex* mutex = held ? new (std::nothrow) NamedMutex{fd} : nullptr;
  if (!mutex && fd >= 0) close(fd);
  alreadyExisted = alreadyExisted && mutex;
  return mutex;
}

void closeMutex(NamedMutex* mutex) {
  if (mutex) close(mutex->fd);
  delete mutex;
}

bool openStatusObject(StatusObject& out, std::string& problem) {
  const std::string what = "status object " + objectPath(SHUB_STATUS_NAME).value_or(SHUB_STATUS_NAME);
  errno = 0;
  out = StatusObject{openOrCreateBlock(SHUB_STATUS_NAME, SHUB_STATUS_SIZE)};
  if (!out.block.valid() && (errno == 0 || errno == EINVAL)) {  // the name holds a file of another size
    problem = what + ": not a file of " + std::to_string(SHUB_STATUS_SIZE) + " bytes";
  } else if (!out.block.valid()) {
    problem = what + ": " + std::strerror(errno);
  } else if (!takeAliveLock(out.block.fd)) {
    problem = what + " lock: " + std::strerror(errno);
  } else if ((out.address = mapBlock(out.block)) == nullptr) {
    problem = what + " mapping: " + std::strerror(errno);
  } else {
    syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED, 0, 0);  // else watchers poll
    return true;
  }
  out = StatusObject{};
  return false;
}

void closeStatusObject(StatusObject& status) {
  unmapBlock(status.address, SHUB_STATUS_SIZE);
  status = StatusObject{};  // closes the block
}

}  // namespace shub::os
