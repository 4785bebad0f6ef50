// Named shared-memory blocks. The original sections had no backing file and
// vanished with their last user; here a block is a file in $CE_OBJECTS (a
// tmpfs by default) so that it outlives its makers and keeps its contents.
// Several processes may open-or-create one name at the same moment: creation
// goes through a temporary file linked into place, so nobody ever maps a block
// of the wrong size, and a file of another size is refused rather than mapped.
// A block that another process truncates later is caught by the mapping guard.
#include "platform/named_block.h"

#include <cerrno>
#include <string>
#include <utility>

#include <unistd.h>

#include "platform/object_file_internal.h"
#include "platform/object_mapping_internal.h"
#include "platform/paths.h"

namespace ce {

NamedBlock openOrCreateBlock(std::string_view name, uint32_t size) {
  if (size == 0) return {};
  const std::optional<std::string> path = objectPath(name);
  if (!path) return {};
  bool created = false;
  const int fd = detail::openOrCreateObjectFile(*path, size, nullptr, 0, created);
  if (fd < 0) return {};
  if (!created && detail::objectFileSize(fd) != static_cast<off_t>(size)) {
    close(fd);
    errno = EINVAL;  // a file of another size is not this block
    return {};
  }
  return NamedBlock{fd, size, *path};
}

uint8_t* mapBlock(const NamedBlock& block) {
  if (!block.valid() || block.size == 0) return nullptr;
  return static_cast<uint8_t*>(detail::mapObjectFile(block.fd, block.size, block.path));
}

void unmapBlock(uint8_t* address, uint32_t size) {
  if (address && size > 0) detail::unmapObjectFile(address, size);
}

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
  if (block.valid()) close(block.fd);
  block.fd = -1;
  block.size = 0;
  block.path.clear();
}

}  // namespace ce
