// Files of named objects in $CE_OBJECTS, made atomically. Several processes
// may create the same name at once, and a reader may open a name at any
// moment, so a named object must never be seen half made (a block of the
// wrong size, an event without its magic): the contents are written to a
// temporary dot file in the same directory and then linked into place, which
// either succeeds whole or finds the name taken, in which case the existing
// file is used unchanged.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ce::detail {

// Group members use the objects, others never: whatever the umask.
inline constexpr mode_t kObjectFileMode = 0660;

// Opens the existing object file at `path` read/write; -1 when missing or not
// a regular file. A link is never followed: planted in the objects directory,
// it would make us map, and write into, whatever file it points at.
inline int openObjectFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// Size of the file behind `fd`, or -1.
inline off_t objectFileSize(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return -1;
  return info.st_size;
}

namespace object_file {

inline std::string temporaryPath(const std::string& path) {
  static std::atomic<uint32_t> counter{0};
  const auto slash = path.rfind('/');
  const std::string dir = path.substr(0, slash + 1);
  const std::string base = path.substr(slash + 1);
  return dir + "." + base + "." + std::to_string(getpid()) + "." +
         std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

// A new file of `size` bytes, zero-filled, starting with `initial`, under a
// temporary name; -1 on failure.
inline int makeTemporary(const std::string& tmp, uint32_t size, const void* initial, size_t initialLength) {
  const int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, kObjectFileMode);
  if (fd < 0) return -1;
  bool ok = fchmod(fd, kObjectFileMode) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
  if (ok && initialLength > 0) {
    ok = pwrite(fd, initial, initialLength, 0) == static_cast<ssize_t>(initialLength);
  }
  if (!ok) {
    close(fd);
    unlink(tmp.c_str());
    return -1;
  }
  return fd;
}

}  // namespace object_file

// Opens the object file at `path`, or creates it with `size` bytes (zeros, the
// first `initialLength` of them taken from `initial`). `created` tells which.
// -1 on failure. The caller checks that an existing file is what it expects.
inline int openOrCreateObjectFile(const std::string& path, uint32_t size, const void* initial,
                                  size_t initialLength, bool& created) {
  created = false;
  // Bounded: the loop only repeats when another process removes the name
  // between our failed link and our open.
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int existing = openObjectFile(path);
    if (existing >= 0) return existing;
    if (errno != ENOENT) return -1;

    const std::string tmp = object_file::temporaryPath(path);
    const int fd = object_file::makeTemporary(tmp, size, initial, initialLength);
    if (fd < 0) {
      if (errno == EEXIST) continue;  // a stale temporary of a dead process with our pid
      return -1;
    }
    const int linked = link(tmp.c_str(), path.c_str());
    const int linkError = errno;
    unlink(tmp.c_str());
    if (linked == 0) {
      created = true;
      return fd;
    }
    close(fd);
    if (linkError != EEXIST) {
      errno = linkError;
      return -1;
    }
    // Someone else made it first: use theirs.
  }
  return -1;
}

}  // namespace ce::detail
