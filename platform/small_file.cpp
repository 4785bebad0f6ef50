#include "platform/small_file_internal.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/regular_file.h"

namespace ce {

namespace {

// Reads until `out` is full or the file ends; false on a read error.
bool readAll(int fd, std::string& out) {
  size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t got = ::read(fd, out.data() + filled, out.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  out.resize(filled);
  return true;
}

}  // namespace

FileRead readRegularFile(const std::string& path, size_t maxBytes) {
  FileRead result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    result.error = errno;
    return result;
  }
  struct stat info {};
  std::string buffer(maxBytes + 1, '\0');  // one more: tells a longer file apart
  if (::fstat(fd, &info) != 0) {
    result.error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    result.notRegular = true;
    result.error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  } else if (!readAll(fd, buffer)) {
    result.error = errno;
  } else {
    result.truncated = buffer.size() > maxBytes;
    buffer.resize(std::min(buffer.size(), maxBytes));
    result.text = std::move(buffer);
  }
  ::close(fd);
  return result;
}

namespace detail {

std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes, TooLong tooLong) {
  FileRead read = readRegularFile(path, maxBytes);
  if (read.truncated && tooLong == TooLong::refuse) return std::nullopt;
  return std::move(read.text);
}

std::string_view trimSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace detail

}  // namespace ce
