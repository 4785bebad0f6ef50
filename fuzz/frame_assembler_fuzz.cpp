// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes the frame assembler with route tables made by the route-file parser
// and arbitrary byte streams, checking after every byte that the state stays
// sane and that nothing was written outside the blocks' data areas.
//
// Input: route lines up to the first empty line (at most 1024 bytes), then
// one byte of settings (bit 0: backlight on; bits 1-7: entries 0-6 left
// without a block), then the byte stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "router/frame_assembler.h"
#include "router/route_table.h"

using namespace shub::router;

namespace {

constexpr uint32_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA7;
constexpr size_t kRoutePartMax = 1024;

struct Hooks final : FrameAssemblerHooks, FrameOutlets {
  std::chrono::steady_clock::time_point now() override {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(tick += 337));
  }
  bool backlightOn() override { return backlight != 0; }
  void keyClick(int32_t kind) override {
    if (kind != 2) abort();
  }
  uint8_t* block(uint32_t entry) const override { return blocks[entry]; }
  void signal(uint32_t) override {}
  uint8_t* blocks[kRouteTableSize] = {};
  uint64_t tick = 0;
  int32_t backlight = 1;
};

// Parses route lines from the front of the input; returns where they end.
size_t parseRoutes(const uint8_t* data, size_t size, RouteTable& table) {
  const size_t limit = size < kRoutePartMax ? size : kRoutePartMax;
  size_t start = 0;
  while (start < limit) {
    size_t end = start;
    while (end < limit && data[end] != '\n') ++end;
    if (end == start) return start + 1;  // the empty line ends the routes
    size_t length = end - start + (end < limit ? 1 : 0);
    if (length > 259) length = 259;  // the loader never hands over more
    const char* line = reinterpret_cast<const char*>(data + start);
    if (table.count < kRouteTableSize && isRouteLine(line, length) &&
        parseRouteLine(line, length, table.entries[table.count])) {
      ++table.count;
    }
    start += length;
  }
  return start;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static RouteTable table;
  table = RouteTable{};
  size_t at = parseRoutes(data, size, table);
  const uint8_t settings = at < size ? data[at++] : 1;

  alignas(8) static uint8_t memory[kRouteTableSize][kGuard + SHUB_BLOCK_SIZE + kGuard];
  std::memset(memory, kGuardByte, sizeof memory);
  Hooks hooks;
  for (uint32_t i = 0; i < kRouteTableSize; ++i) {
    std::memset(memory[i] + kGuard, 0, SHUB_BLOCK_SIZE);
    const bool withoutBlock = i < 7 && (settings & (2u << i)) != 0;
    if (!withoutBlock) hooks.blocks[i] = memory[i] + kGuard;
  }
  hooks.backlight = settings & 1;
  FrameAssembler assembler(table, hooks, hooks);
  for (; at < size; ++at) {
    assembler.feedByte(data[at]);
    if (assembler.inFrame() != (assembler.currentEntry() != -1)) abort();
    if (assembler.currentEntry() >= static_cast<int32_t>(table.count)) abort();
    if (assembler.receivedLength() > FrameAssembler::kMaxFrame) abort();
    for (uint32_t i = 0; i < kRouteTableSize; ++i) {
      if (loadBlockLength(memory[i] + kGuard) > SHUB_BLOCK_DATA_SIZE) abort();
      for (uint32_t k = 0; k < kGuard; ++k) {
        if (memory[i][k] != kGuardByte || memory[i][kGuard + SHUB_BLOCK_SIZE + k] != kGuardByte) abort();
      }
    }
  }
  // The reserved word and the lock area are never written.
  for (uint32_t i = 0; i < kRouteTableSize; ++i) {
    for (uint32_t k = 4; k < SHUB_BLOCK_DATA_OFFSET; ++k) {
      if (memory[i][kGuard + k] != 0) abort();
    }
    for (uint32_t k = SHUB_BLOCK_LOCK_OFFSET; k < SHUB_BLOCK_SIZE; ++k) {
      if (memory[i][kGuard + k] != 0) abort();
    }
  }
  return 0;
}
