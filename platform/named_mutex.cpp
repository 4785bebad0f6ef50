// Named mutexes, used only to ask "is another instance running?". The kernel
// drops a dead process's flock, so a file left by a crash does not count.
// The check cannot be a bare try-exclusive-then-downgrade: flock converts a
// lock by dropping it first, and two instances starting together could both
// see the name free in that gap. A lock on a dot file beside it serialises the
// check-and-downgrade between processes.
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

// Never through a link (it would create or lock whatever file it points at),
// and only a regular file.
int openLockFile(const std::optional<std::string>& path) {
  const int fd = path ? open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0660) : -1;
  struct stat info {};
  if (fd < 0 || (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))) return fd;
  close(fd);
  return -1;
}

int flockRetrying(int fd, int operation) {
  int result;
  while ((result = flock(fd, operation)) != 0 && errno == EINTR) {
  }
  return result;
}

}  // namespace

NamedMutex* createMutex(const char* name, bool& alreadyExisted) {
  alreadyExisted = false;
  if (!name || !objectPath(name)) return nullptr;
  const int gate = openLockFile(objectPath(std::string(".") + name + ".gate"));
  const int fd = gate < 0 ? -1 : openLockFile(objectPath(name));
  bool held = fd >= 0 && flockRetrying(gate, LOCK_EX) == 0;
  if (held) {
    // Under the gate nobody else is between these two steps, and holders only
    // ever hold the name shared.
    alreadyExisted = flock(fd, LOCK_EX | LOCK_NB) != 0;
    held = flockRetrying(fd, LOCK_SH | LOCK_NB) == 0;
  }
  if (gate >= 0) close(gate);  // releases the gate
  NamedMutex* mutex = held ? new (std::nothrow) NamedMutex{fd} : nullptr;
  if (!mutex) {
    if (fd >= 0) close(fd);
    alreadyExisted = false;
  }
  return mutex;
}

void closeMutex(NamedMutex* mutex) {
  if (mutex) close(mutex->fd);
  delete mutex;
}

}  // namespace ce
