// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Access to the 288-byte blocks through which frames pass between processes
// (layout in serialhub/protocol.h): channel blocks CRT<N> and the write block
// CRT:WRITE. Other threads and processes touch these bytes while we do, so
// every access is a relaxed atomic one: a reader may see a newer frame than
// its event announced, but never a torn word or undefined behaviour.
#pragma once

#include <cstdint>

#include <serialhub/protocol.h>

#include "platform/client_objects.h"

namespace shub::router {

inline uint8_t loadBlockByte(const uint8_t* block, uint32_t offset) { return os::wordAt<uint8_t>(block, offset).load(std::memory_order_relaxed); }

inline void storeBlockByte(uint8_t* block, uint32_t offset, uint8_t value) {
  os::wordAt<uint8_t>(block, offset).store(value, std::memory_order_relaxed);
}

inline uint32_t loadBlockLength(const uint8_t* block) {
  return os::wordAt(block, SHUB_BLOCK_LENGTH_OFFSET).load(std::memory_order_relaxed);
}

inline void storeBlockLength(uint8_t* block, uint32_t length) {
  os::wordAt(block, SHUB_BLOCK_LENGTH_OFFSET).store(length, std::memory_order_relaxed);
}

inline void loadBlockBytes(const uint8_t* block, uint32_t offset, uint8_t* out, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) out[i] = loadBlockByte(block, offset + i);
}

inline void storeBlockBytes(uint8_t* block, uint32_t offset, const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) storeBlockByte(block, offset + i, bytes[i]);
}

inline void fillBlockBytes(uint8_t* block, uint32_t offset, uint8_t value, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) storeBlockByte(block, offset + i, value);
}

// An unowned lock record into the lock area, byte by byte: other processes may
// have the block mapped already. The daemon never takes the lock.
inline void storeUnownedLock(uint8_t* block) {
  fillBlockBytes(block, SHUB_BLOCK_LOCK_OFFSET, 0, SHUB_BLOCK_LOCK_SIZE);
  for (uint32_t k = 0; k < 4; ++k) {
    storeBlockByte(block, SHUB_BLOCK_LOCK_OFFSET + SHUB_LOCK_MAGIC_OFFSET + k, uint8_t(SHUB_LOCK_MAGIC >> (8 * k)));
  }
}

}  // namespace shub::router
