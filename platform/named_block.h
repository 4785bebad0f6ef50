// Named shared-memory blocks: one file of exactly the block's size in
// $CE_OBJECTS, mapped shared. Blocks outlive the processes that made them, so
// a block that exists keeps its contents when it is opened again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace ce {

// An owned handle to an open block, closed when it goes. `fd` is -1 for "no
// block" (the invalid handle). Moving leaves the source invalid.
struct NamedBlock {
  int fd = -1;
  uint32_t size = 0;
  std::string path;  // the object's file, for messages

  NamedBlock() = default;
  NamedBlock(int descriptor, uint32_t bytes, std::string file)
      : fd(descriptor), size(bytes), path(std::move(file)) {}
  NamedBlock(NamedBlock&& other) noexcept { *this = std::move(other); }
  NamedBlock& operator=(NamedBlock&& other) noexcept;
  NamedBlock(const NamedBlock&) = delete;
  NamedBlock& operator=(const NamedBlock&) = delete;
  ~NamedBlock();

  bool valid() const { return fd >= 0; }
};

// Opens the block `name`, or creates it zero-filled at `size` bytes. Creation
// is atomic: another process never sees a block of the wrong size. A name with
// '/', an empty name, or an existing file of another size gives an invalid handle.
NamedBlock openOrCreateBlock(std::string_view name, uint32_t size);

// Maps the whole block read/write; nullptr on failure.
uint8_t* mapBlock(const NamedBlock& block);
void unmapBlock(uint8_t* address, uint32_t size);

// Closes the handle and leaves it invalid. Closing an invalid handle does nothing.
void closeBlock(NamedBlock& block);

// An owned view of a whole block, unmapped when it goes.
class BlockView {
 public:
  BlockView() = default;
  // Maps `block`; an empty view when that fails.
  explicit BlockView(const NamedBlock& block) : address_(mapBlock(block)), size_(block.size) {}
  BlockView(BlockView&& other) noexcept { *this = std::move(other); }
  BlockView& operator=(BlockView&& other) noexcept {
    if (this != &other) {
      unmapBlock(address_, size_);
      address_ = std::exchange(other.address_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  BlockView(const BlockView&) = delete;
  BlockView& operator=(const BlockView&) = delete;
  ~BlockView() { unmapBlock(address_, size_); }

  uint8_t* get() const { return address_; }

 private:
  uint8_t* address_ = nullptr;
  uint32_t size_ = 0;
};

}  // namespace ce
