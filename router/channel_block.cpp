#include "router/channel_block.h"

void loadBlockBytes(const uint8_t* block, uint32_t offset, uint8_t* out, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) out[i] = loadBlockByte(block, offset + i);
}

void storeBlockBytes(uint8_t* block, uint32_t offset, const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) storeBlockByte(block, offset + i, bytes[i]);
}

void fillBlockBytes(uint8_t* block, uint32_t offset, uint8_t value, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) storeBlockByte(block, offset + i, value);
}
