// An advisory lock on a folder for tools that must not act on one folder
// twice at once (crtctl replay on a device's dev/ folder, and on its own
// temporary folder, which a sweep of leftovers must then leave alone). The
// kernel lets it go when its process ends, however it ends.
#pragma once

#include <string>

namespace shub::os {

class FolderLock {
 public:
  FolderLock() = default;
  ~FolderLock() { unlock(); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Takes the lock of the real folder `folder` (a link there is not followed)
  // without waiting. False with errno: EWOULDBLOCK when another holds it.
  bool tryLock(const std::string& folder);
  void unlock();

 private:
  int fd_ = -1;
};

}  // namespace shub::os
