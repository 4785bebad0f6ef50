// See folder_lock.h: flock(2) on the folder itself, opened close-on-exec so
// no program started meanwhile holds the lock on.
#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace shub::os {

bool FolderLock::tryLock(const std::string& folder) {
  unlock();
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  fd_ = fd;
  return true;
}

void FolderLock::unlock() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace shub::os
