// Mappings of named-object files that another process can truncate, replace
// or shrink under us. Touching a page past the end of a shared file mapping
// raises SIGBUS; for our object mappings a handler maps private zero pages
// over the whole mapping instead, says once on stderr which object broke, and
// lets the access run again. The object then simply stops working (frames
// written to it reach nobody, its event never fires) while the rest of the
// daemon goes on. A SIGBUS anywhere else keeps its usual effect.
#pragma once

#include <cstddef>
#include <string>

namespace ce::detail {

// Maps `size` bytes of `fd` shared read/write and guards the mapping; `path`
// names the object in the message. nullptr on failure (also when too many
// mappings are guarded at once).
void* mapObjectFile(int fd, size_t size, const std::string& path);

// Removes the guard and the mapping. nullptr is accepted.
void unmapObjectFile(void* address, size_t size);

}  // namespace ce::detail
