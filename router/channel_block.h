// Access to the 288-byte blocks through which frames pass between processes
// (layout in serialhub/protocol.h): channel blocks CRT<N> (daemon writes,
// clients read) and the write block CRT:WRITE (clients write, daemon reads).
//
// Other threads and processes read and write these bytes while we do, so every
// access goes through the relaxed atomic accessors below: a reader may see a
// newer frame than the one its event announced, but never a torn word or
// undefined behaviour. The event set after a delivery orders the delivery
// before the wake-up.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <serialhub/protocol.h>

inline constexpr uint32_t kChannelBlockSize = SHUB_BLOCK_SIZE;
inline constexpr uint32_t kBlockLengthOffset = SHUB_BLOCK_LENGTH_OFFSET;
inline constexpr uint32_t kBlockDataOffset = SHUB_BLOCK_DATA_OFFSET;
inline constexpr uint32_t kBlockDataSize = SHUB_BLOCK_DATA_SIZE;
inline constexpr uint32_t kBlockLockOffset = SHUB_BLOCK_LOCK_OFFSET;
inline constexpr uint32_t kBlockLockSize = SHUB_BLOCK_LOCK_SIZE;

inline uint8_t loadBlockByte(const uint8_t* block, uint32_t offset) {
  return std::atomic_ref<const uint8_t>(block[offset]).load(std::memory_order_relaxed);
}

inline void storeBlockByte(uint8_t* block, uint32_t offset, uint8_t value) {
  std::atomic_ref<uint8_t>(block[offset]).store(value, std::memory_order_relaxed);
}

// The length word (block offset 0 is 4-byte aligned in every mapping).
inline uint32_t loadBlockLength(const uint8_t* block) {
  return std::atomic_ref<const uint32_t>(*reinterpret_cast<const uint32_t*>(block))
      .load(std::memory_order_relaxed);
}

inline void storeBlockLength(uint8_t* block, uint32_t length) {
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(block)).store(length, std::memory_order_relaxed);
}

// Copies `count` bytes between a block and private memory, byte by byte.
void loadBlockBytes(const uint8_t* block, uint32_t offset, uint8_t* out, uint32_t count);
void storeBlockBytes(uint8_t* block, uint32_t offset, const uint8_t* bytes, uint32_t count);
void fillBlockBytes(uint8_t* block, uint32_t offset, uint8_t value, uint32_t count);
