// Client-side access to named objects, compiled into libserialhub too. Any
// group member can shrink an object under a client, so mappings go through
// the SIGBUS guard, which passes every other SIGBUS on to the program's own.
#include "platform/client_objects.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <linux/membarrier.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "platform/futex_internal.h"
#include "platform/mapping_guard.h"
#include "platform/paths.h"

namespace shub::os {

int detail::openObjectFile(const std::string& path, uint32_t size) {
  // Non-blocking: a FIFO planted in the directory cannot hang the open.
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  struct stat info {};
  if (fd < 0 || (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == off_t{size})) return fd;
  close(fd);
  errno = EINVAL;
  return -1;
}

bool openMappedObject(const char* name, uint32_t size, MappedObject& out) {
  out = MappedObject{};
  const std::optional<std::string> path = objectPath(name);
  errno = EINVAL;  // for a name that cannot be an object
  const int fd = path ? detail::openObjectFile(*path, size) : -1;
  if (fd < 0) return false;
  const std::atomic<bool>* tripped = nullptr;
  void* address = mapGuarded(fd, size, {}, &tripped);
  if (address == nullptr) {
    close(fd);  // leaves errno alone: the descriptor is valid
    return false;
  }
  out = MappedObject{fd, static_cast<uint8_t*>(address), size, tripped};
  return true;
}

void closeMappedObject(MappedObject& object) {
  unmapGuarded(object.address, object.size);
  if (object.fd >= 0) close(object.fd);
  object = MappedObject{};
}

bool objectBroken(const MappedObject& object) {
  return object.tripped != nullptr && object.tripped->load(std::memory_order_acquire);
}

bool waitSharedWord(uint32_t* word, uint32_t expected, int64_t timeoutMs) {
  const auto ms = static_cast<uint32_t>(std::clamp<int64_t>(timeoutMs, 0, 0x7fffffff));
  return detail::futexWaitUntil(word, expected, detail::deadlineAfterMs(ms, timeoutMs < 0), true) || errno != EINTR;
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
bool lockExclusiveUntil(int fd, int64_t deadlineMs) {
  for (int64_t napUs = 50;; napUs = std::min<int64_t>(napUs * 2, 2000)) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (monotonicMs() >= deadlineMs) {
      errno = ETIMEDOUT;
      return false;
    }
    const timespec nap{0, static_cast<long>(napUs) * 1000};
    nanosleep(&nap, nullptr);
  }
}

int64_t monotonicMs() {
  const timespec now = detail::monotonicNow();
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace shub::os
