// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Feeds arbitrary bytes to the route line parser as one line read from the
// route file (at most 259 characters). It must never read outside the line,
// never write outside the entry, and never store more than the table holds,
// whatever the line holds: NULs, no newline, overlong fields, huge numbers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "router/route_table.h"

using namespace shub::router;

namespace {

constexpr size_t kMaxLine = 259;
constexpr uint8_t kGuard = 0xA5;

// A record with guard bytes on both sides, to catch stray writes that the
// address sanitizer would not see inside one object.
struct GuardedEntry {
  uint8_t before[64];
  RouteEntry entry;
  uint8_t after[64];
};

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxLine) size = kMaxLine;
  // An exact-size copy: any read past the line is a heap overflow.
  std::vector<char> line(data, data + size);
  const char* text = line.empty() ? nullptr : line.data();

  GuardedEntry guarded;
  std::memset(guarded.before, kGuard, sizeof guarded.before);
  std::memset(guarded.after, kGuard, sizeof guarded.after);

  RouteTable table;
  if (isRouteLine(text, size)) {
    // Each line once into every slot, as a file of repeated lines would be.
    for (uint32_t i = 0; i < kRouteTableSize + 2; ++i) {
      if (table.count < kRouteTableSize && parseRouteLine(text, size, table.entries[table.count])) ++table.count;
    }
    const bool accepted = parseRouteLine(text, size, guarded.entry);
    if (accepted) {
      check(guarded.entry.frameLength >= 0 && guarded.entry.frameLength <= 260);
      check(std::strlen(reinterpret_cast<const char*>(guarded.entry.text)) <= 19);
    }
  }
  check(table.count <= kRouteTableSize);
  for (uint32_t i = 0; i < kRouteTableSize; ++i) check(headerLength(table.entries[i]) <= 280);
  check(headerLength(guarded.entry) <= 280);
  for (uint8_t byte : guarded.before) check(byte == kGuard);
  for (uint8_t byte : guarded.after) check(byte == kGuard);
  return 0;
}
