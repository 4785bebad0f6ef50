// Named shared-memory blocks, kept as files in $CE_OBJECTS (a tmpfs by
// default) so that they outlive their makers. A block truncated later by
// another process is caught by the mapping's SIGBUS guard.
#include "platform/named_block.h"

#include <unistd.h>

#include "platform/object_file_internal.h"
#include "platform/paths.h"

namespace ce {

NamedBlock openOrCreateBlock(std::string_view name, uint32_t size) {
  const std::optional<std::string> path = objectPath(name);
  const int fd = path && size > 0 ? detail::openOrCreateObjectFile(*path, size) : -1;
  return fd < 0 ? NamedBlock{} : NamedBlock{fd, size, *path};
}

uint8_t* mapBlock(const NamedBlock& block) {
  if (!block.valid()) return nullptr;
  return static_cast<uint8_t*>(detail::mapObjectFile(block.fd, block.size, block.path));
}

void unmapBlock(uint8_t* address, uint32_t size) { detail::unmapObjectFile(address, size); }

NamedBlock& NamedBlock::operator=(NamedBlock&& other) noexcept {
  if (this != &other) {
    closeBlock(*this);
    fd = std::exchange(other.fd, -1);
    size = std::exchange(other.size, 0);
    path = std::move(other.path);
  }
  return *this;
}

NamedBlock::~NamedBlock() { closeBlock(*this); }

void closeBlock(NamedBlock& block) {
  if (block.valid()) close(std::exchange(block.fd, -1));
  block.size = 0;
  block.path.clear();
}

}  // namespace ce
