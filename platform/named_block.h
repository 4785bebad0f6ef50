// Named shared-memory blocks: a file of exactly the block's size in $CE_OBJECTS,
// mapped shared; it outlives its makers and keeps its contents when reopened.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace shub::os {

// An owned, move-only handle to an open block; `fd` -1 is "no block".
struct NamedBlock {
  int fd = -1;
  uint32_t size = 0;
  std::string path;  // the object's file, for messages

  NamedBlock() = default;
  NamedBlock(int descriptor, uint32_t bytes, std::string file) : fd(descriptor), size(bytes), path(std::move(file)) {}
  NamedBlock(NamedBlock&& other) noexcept { *this = std::move(other); }
  NamedBlock& operator=(NamedBlock&& other) noexcept;
  ~NamedBlock();

  bool valid() const { return fd >= 0; }
};

// Opens the block `name`, or creates it zero-filled; invalid for a name with
// '/', an empty name or size, or an existing file of another size.
NamedBlock openOrCreateBlock(std::string_view name, uint32_t size);
void closeBlock(NamedBlock& block);  // leaves the handle invalid

// Maps the whole block read/write; nullptr on failure.
uint8_t* mapBlock(const NamedBlock& block);
void unmapBlock(uint8_t* address, uint32_t size);

// An owned view of a whole block, unmapped when it goes; empty when mapping fails.
class BlockView {
 public:
  BlockView() = default;
  explicit BlockView(const NamedBlock& block) : mapping_(mapBlock(block), Unmap{block.size}) {}
  uint8_t* get() const { return mapping_.get(); }

 private:
  struct Unmap {
    uint32_t size;  // no initialiser: unique_ptr value-initialises it
    void operator()(uint8_t* address) const { unmapBlock(address, size); }
  };
  std::unique_ptr<uint8_t, Unmap> mapping_;
};

}  // namespace shub::os
