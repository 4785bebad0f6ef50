// Client-side access to named objects, compiled into libserialhub too. These
// mappings carry no SIGBUS guard: a library must not take over a signal of the
// program that loads it, and the daemon never shrinks its objects.
#include "platform/client_objects.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <linux/membarrier.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "platform/futex_internal.h"
#include "platform/paths.h"

namespace ce {

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
  void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    close(fd);  // leaves errno alone: the descriptor is valid
    return false;
  }
  out = MappedObject{fd, static_cast<uint8_t*>(address), size};
  return true;
}

void closeMappedObject(MappedObject& object) {
  if (object.address != nullptr) munmap(object.address, object.size);
  if (object.fd >= 0) close(object.fd);
  object = MappedObject{};
}

void waitSharedWord(uint32_t* word, uint32_t expected, int64_t timeoutMs) {
  const auto ms = static_cast<uint32_t>(std::clamp<int64_t>(timeoutMs, 0, 0x7fffffff));
  detail::futexWaitUntil(word, expected, detail::deadlineAfterMs(ms, timeoutMs < 0), true);
}

void wakeSharedWord(uint32_t* word, int count) { detail::futexWake(word, count, true); }

bool fenceRegisteredProcesses() { return syscall(SYS_membarrier, MEMBARRIER_CMD_GLOBAL_EXPEDITED, 0, 0) == 0; }

bool lockedByAnother(int fd) {
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  flock(fd, LOCK_UN);
  return false;
}

int64_t monotonicMs() {
  const timespec now = detail::monotonicNow();
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace ce
