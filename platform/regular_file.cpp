// Whatever stands at the path, the caller never blocks on it (a FIFO), never reads
// for ever (a link to /dev/zero) and never takes a directory for an empty file.
#include "platform/regular_file.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace shub::os {

namespace {

// Appends up to `limit` bytes; false on a read error. Small pieces suit a small stack.
bool readUpTo(int fd, size_t limit, std::string& out) {
  char piece[512];
  while (out.size() < limit) {
    const ssize_t got = ::read(fd, piece, std::min(sizeof piece, limit - out.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0;
    out.append(piece, static_cast<size_t>(got));
  }
  return true;
}

}  // namespace

FileRead readRegularFile(const std::string& path, size_t maxBytes) {
  FileRead result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat info {};
  std::string buffer;
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    result.error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    result.notRegular = true;
    result.error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  } else if (!readUpTo(fd, maxBytes + 1, buffer)) {  // one more tells a longer file apart
    result.error = errno;
  } else {
    result.truncated = buffer.size() > maxBytes;
    buffer.resize(std::min(buffer.size(), maxBytes));
    result.text = std::move(buffer);
  }
  if (fd >= 0) ::close(fd);
  return result;
}

}  // namespace shub::os
