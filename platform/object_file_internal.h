// Opening the file of an existing named object: one way for the daemon's
// objects and the library's client side alike.
#pragma once

#include <cstdint>
#include <string>

namespace ce::detail {

// Opens the object file at `path` read/write; -1 with errno EINVAL unless it
// is a regular file of exactly `size` bytes. A link is never followed:
// planted in the objects directory, it would have us write into whatever file
// it points at.
int openObjectFile(const std::string& path, uint32_t size);

}  // namespace ce::detail
