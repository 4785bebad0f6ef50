// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Feeds arbitrary contents of the tap object CRT:TAP to a recorder's reader:
// any process of the group may write the file, so whatever its header and
// ring hold, and however its head moves, the reader must stay inside the
// object and hand out only records of at most 260 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <serialhub/protocol.h>

#include "router/tap_ring.h"

using namespace shub::router;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first 16 bytes are two heads the reader finds, one after the other;
  // the rest is laid over the object from its start, header and ring.
  if (size < 16) return 0;
  std::vector<uint64_t> words(SHUB_TAP_SIZE / 8);
  auto* object = reinterpret_cast<uint8_t*>(words.data());
  std::memcpy(object, data + 16, std::min<size_t>(size - 16, SHUB_TAP_SIZE));
  uint64_t heads[2];
  std::memcpy(heads, data, sizeof heads);
  std::memcpy(object + SHUB_TAP_HEAD_OFFSET, &heads[0], 8);
  TapReader reader(object);
  std::vector<TapRecord> records;
  for (uint64_t head : heads) {
    std::memcpy(object + SHUB_TAP_HEAD_OFFSET, &head, 8);
    std::memcpy(object + SHUB_TAP_CLAIM_OFFSET, &head, 8);
    reader.poll(records);
    for (const TapRecord& record : records) {
      if (record.count > SHUB_BLOCK_DATA_SIZE || record.kind > SHUB_TAP_HANGUP) std::abort();
    }
  }
  return 0;
}
