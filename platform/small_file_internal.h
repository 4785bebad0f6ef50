// Small text files read anew at each use: simulated device nodes, sysfs
// attributes, registry values; a few characters with white space around.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ce::detail {

enum class TooLong {
  refuse,  // a longer file cannot hold a valid value: nullopt
  cut,     // only its first maxBytes bytes count
};

// At most `maxBytes` bytes of a regular file; nullopt when it is missing or
// not a regular file (see readRegularFile).
std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes, TooLong tooLong);

// `text` without the white space (space, tab, CR, LF, VT, FF) at either end.
std::string_view trimSpace(std::string_view text);

}  // namespace ce::detail
