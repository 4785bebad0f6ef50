#include "platform/small_file_internal.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ce::detail {

std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes, TooLong tooLong) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> text;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    std::string buffer(maxBytes + 1, '\0');
    const ssize_t length = ::read(fd, buffer.data(), buffer.size());
    const auto read = static_cast<size_t>(length);
    if (length >= 0 && (read <= maxBytes || tooLong == TooLong::cut)) {
      buffer.resize(std::min(read, maxBytes));
      text = std::move(buffer);
    }
  }
  ::close(fd);
  return text;
}

std::string_view trimSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace ce::detail
