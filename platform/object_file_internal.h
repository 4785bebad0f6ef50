// Files of named objects in $CE_OBJECTS, shared by blocks, events and the
// library's client side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace ce::detail {

// Opens the existing object file at `path` read/write; -1 with errno EINVAL
// unless it is a regular file of exactly `size` bytes. A link is never
// followed: planted in the objects directory, it would have us write into
// whatever file it points at.
int openObjectFile(const std::string& path, uint32_t size);

// Opens the object file at `path`, or creates it with `size` bytes, zeros
// after `initial`. Nobody ever sees it half made: it is written under a dot
// name and linked into place, or the file someone else linked first is used.
int openOrCreateObjectFile(const std::string& path, uint32_t size, std::span<const std::byte> initial = {});

// Maps `size` bytes of `fd` shared read/write under the SIGBUS guard: when
// another process shrinks the file, private zero pages replace the mapping
// and the object, named once on stderr by `path`, stops working while the
// rest goes on. nullptr on failure.
void* mapObjectFile(int fd, size_t size, const std::string& path);
void unmapObjectFile(void* address, size_t size);  // nullptr is accepted

}  // namespace ce::detail
