// Small text files read anew at each use: simulated device nodes, sysfs
// attributes, registry values. Each holds a few characters of text with
// white space around it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ce::detail {

// What to do with a file longer than asked for.
enum class TooLong {
  refuse,  // it cannot hold a valid value: nullopt
  cut,     // only its start counts: the first maxBytes bytes
};

// At most `maxBytes` bytes of a regular file; nullopt when it is missing or
// not a regular file. Opened non-blocking, so a FIFO in its place cannot hang
// the caller.
std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes, TooLong tooLong);

// `text` without the white space (space, tab, CR, LF, VT, FF) at either end.
std::string_view trimSpace(std::string_view text);

}  // namespace ce::detail
