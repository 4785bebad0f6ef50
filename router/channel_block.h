// The 288-byte block through which frames pass between processes: channel
// blocks CRT<N> (daemon writes, clients read) and the write block CRT:WRITE
// (clients write, daemon reads). All fields are little-endian.
//
//   offset   0  u32  length    valid bytes in the data area
//   offset   4  u32  reserved  never written by the daemon
//   offset   8  260  data      frame byte k is block byte 8 + k
//   offset 268  20   lock area an unowned ce::LockRecord
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

inline constexpr uint32_t kChannelBlockSize = 288;
inline constexpr uint32_t kBlockLengthOffset = 0;
inline constexpr uint32_t kBlockDataOffset = 8;
inline constexpr uint32_t kBlockDataSize = 260;
inline constexpr uint32_t kBlockLockOffset = 268;
inline constexpr uint32_t kBlockLockSize = 20;

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
