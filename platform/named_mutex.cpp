// Named mutexes, used only to ask "is another instance running?". The name is
// a file in $CE_OBJECTS that every holder keeps a shared flock on; the kernel
// drops a dead process's lock, so a file left by a crash does not count.
//
// The check cannot be a bare try-exclusive-then-downgrade: flock converts a
// lock by dropping it first, and two instances starting together could both
// see the name free in that gap. A second lock on a dot file beside it
// serialises the check-and-downgrade between processes.
#include "platform/named_mutex.h"

#include <cerrno>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths.h"

namespace ce {

struct NamedMutex {
  int fd = -1;  // holds the shared lock while open
};

namespace {

constexpr mode_t kMutexFileMode = 0660;

// Never through a link (it would create or lock whatever file it points at)
// and only a regular file.
int openLockFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, kMutexFileMode);
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

int flockRetrying(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

NamedMutex* createMutex(const char* name, bool& alreadyExisted) {
  alreadyExisted = false;
  if (!name) return nullptr;
  const std::optional<std::string> path = objectPath(name);
  const std::optional<std::string> gatePath = objectPath(std::string(".") + name + ".gate");
  if (!path || !gatePath) return nullptr;

  const int gate = openLockFile(*gatePath);
  if (gate < 0) return nullptr;
  const int fd = openLockFile(*path);
  bool ok = fd >= 0 && flockRetrying(gate, LOCK_EX) == 0;
  if (ok) {
    // Nobody else can be between these two steps while we hold the gate, and
    // holders only ever hold the name shared.
    alreadyExisted = flock(fd, LOCK_EX | LOCK_NB) != 0;
    ok = flockRetrying(fd, LOCK_SH | LOCK_NB) == 0;
  }
  close(gate);  // releases the gate
  NamedMutex* mutex = ok ? new (std::nothrow) NamedMutex : nullptr;
  if (!mutex) {
    if (fd >= 0) close(fd);
    alreadyExisted = false;
    return nullptr;
  }
  mutex->fd = fd;
  return mutex;
}

void closeMutex(NamedMutex* mutex) {
  if (!mutex) return;
  close(mutex->fd);
  delete mutex;
}

}  // namespace ce
