// Reading a whole file by path when only a regular file makes sense:
// configuration files and the text of simulated device nodes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace ce {

struct FileRead {
  std::optional<std::string> text;  // nullopt: nothing was read
  int error = 0;                    // the OS error when nothing was read
  bool notRegular = false;          // the path names something other than a regular file
  bool truncated = false;           // longer than asked for: text holds the first maxBytes
};

// At most `maxBytes` bytes of the regular file at `path`, opened non-blocking
// so that a FIFO there cannot hang the caller.
FileRead readRegularFile(const std::string& path, size_t maxBytes);

}  // namespace ce
