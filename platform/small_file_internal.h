// Small text files read anew at each use: simulated device nodes, sysfs
// attributes, registry values; a few characters with white space around.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/regular_file.h"

namespace ce::detail {

enum class TooLong {
  refuse,  // a longer file cannot hold a valid value: nullopt
  cut,     // only its first maxBytes bytes count
};

// At most `maxBytes` bytes of a regular file; nullopt when it is missing or
// not a regular file.
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

}  // namespace ce::detail
