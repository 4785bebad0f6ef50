// A whole file where only a regular file makes sense: configuration, simulated nodes,
// sysfs attributes and registry values.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace shub::os {

struct FileRead {
  std::optional<std::string> text;  // nullopt: nothing was read
  int error = 0;                    // the OS error when nothing was read
  bool notRegular = false;          // the path names something other than a regular file
  bool truncated = false;           // longer than asked for: text holds the first maxBytes
};

// At most `maxBytes` bytes of the regular file at `path`.
FileRead readRegularFile(const std::string& path, size_t maxBytes);

namespace detail {

enum class TooLong {
  refuse,  // a longer file cannot hold a valid value: nullopt
  cut,     // only its first maxBytes bytes count
};

inline std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes, TooLong tooLong) {
  FileRead read = readRegularFile(path, maxBytes);
  return read.truncated && tooLong == TooLong::refuse ? std::nullopt : std::move(read.text);
}

// `text` without the white space (space, tab, CR, LF, VT, FF) at either end.
inline std::string_view trimSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(kSpace);
  return first == std::string_view::npos ? std::string_view{}
                                         : text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace detail

}  // namespace shub::os
