// Named shared-memory blocks: one file of exactly the block's size in
// $CE_OBJECTS, mapped shared. Blocks outlive the processes that made them, so
// a block that exists keeps its contents when it is opened again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ce {

// A handle to an open block. `fd` is -1 for "no block" (the invalid handle).
struct NamedBlock {
  int fd = -1;
  uint32_t size = 0;
  std::string path;  // the object's file, for messages
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

}  // namespace ce
