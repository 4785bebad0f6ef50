// See folder_lock.h: flock(2) on the folder itself, opened close-on-exec so
// no program started meanwhile holds the lock on.
#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace shub::os {

bool FolderLock::tryLock(const std::string& folder) {
  unlock();
  fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  const int error = errno;
  unlock();
  errno = error;
  return false;
}

void FolderLock::unlock() {
  if (fd_ >= 0) close(std::exchange(fd_, -1));
}

}  // namespace shub::os
