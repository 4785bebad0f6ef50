// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The tap ring in private memory: what a reader gets back is what the writer
// appended, in order and whole, across the ring's end; a reader that fell
// behind by more than the ring is told how many line bytes it missed, at its
// next record or at its last look; and a reader racing the writer never takes a torn record for a whole one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <serialhub/protocol.h>

#include "router/tap_ring.h"

using namespace shub::router;

namespace {

struct Ring {
  std::vector<uint64_t> words = std::vector<uint64_t>(SHUB_TAP_SIZE / 8);
  uint8_t* object() { return reinterpret_cast<uint8_t*>(words.data()); }
};

// Bytes that tell where on the line they were: byte k of a read at line
// position p is (p + k) mod 251.
std::vector<uint8_t> lineBytes(uint64_t position, uint32_t count) {
  std::vector<uint8_t> bytes(count);
  for (uint32_t k = 0; k < count; ++k) bytes[k] = static_cast<uint8_t>((position + k) % 251);
  return bytes;
}

TEST(TapRing, ReadsAndHangUpsComeBackWholeAndInOrderAcrossTheRingsEnd) {
  Ring ring;
  TapWriter writer(ring.object());
  ASSERT_TRUE(TapReader::ready(ring.object()));
  TapReader reader(ring.object());
  std::vector<TapRecord> got;
  uint64_t line = 0;
  // Sizes around the 8-byte words, the largest read, and one cut to it; many
  // rounds, so records start at every place of the ring and wrap its end.
  const uint32_t sizes[] = {1, 7, 8, 9, 260, 300};
  for (int round = 0; round < 200; ++round) {
    for (uint32_t size : sizes) {
      const uint32_t kept = std::min(size, SHUB_BLOCK_DATA_SIZE);
      const std::vector<uint8_t> bytes = lineBytes(line, size);
      writer.append(1000u * round + size, bytes.data(), size);
      writer.hangUp(1000u * round + size + 1);
      reader.poll(got);
      ASSERT_EQ(got.size(), 2u);
      EXPECT_EQ(got[0].kind, SHUB_TAP_READ);
      EXPECT_EQ(got[0].timeUs, 1000u * round + size);
      ASSERT_EQ(got[0].count, kept);
      EXPECT_EQ(std::vector<uint8_t>(got[0].bytes, got[0].bytes + kept), lineBytes(line, kept));
      EXPECT_EQ(got[0].missed, 0u);
      EXPECT_EQ(got[1].kind, SHUB_TAP_HANGUP);
      EXPECT_EQ(got[1].count, 0u);
      line += kept;
    }
  }
  EXPECT_EQ(reader.lineBytes(), line);
}

TEST(TapRing, AReaderAWholeRingBehindIsToldWhatItMissedAtTheNextRecordOrItsLastLook) {
  Ring ring;
  TapWriter writer(ring.object());
  TapReader reader(ring.object());
  const std::vector<uint8_t> bytes = lineBytes(0, 260);
  for (int i = 0; i < 300; ++i) writer.append(i, bytes.data(), 260);  // 84000 ring bytes
  std::vector<TapRecord> got;
  reader.poll(got);
  EXPECT_TRUE(got.empty());
  writer.append(300, bytes.data(), 5);
  reader.poll(got);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].missed, 300u * 260);
  EXPECT_EQ(got[0].count, 5u);
  // Overrun again, and nothing after: the last look still counts it.
  for (int i = 0; i < 300; ++i) writer.append(i, bytes.data(), 260);
  reader.poll(got);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(reader.finish(got), 300u * 260);
  EXPECT_TRUE(got.empty());
  // A stretch longer than the records' 32-bit line positions (a daemon that
  // goes on 5 GiB further, as a restart would).
  constexpr uint64_t kFar = 5ull << 30;
  const uint64_t line = reader.lineBytes() + kFar;
  std::memcpy(ring.object() + SHUB_TAP_LINE_OFFSET, &line, sizeof line);
  TapWriter(ring.object()).append(1, bytes.data(), 7);
  reader.poll(got);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].missed, kFar);
  EXPECT_EQ(reader.finish(got), 0u);
}

TEST(TapRing, ADaemonRestartGoesOnWhereTheLastOneLeft) {
  Ring ring;
  const std::vector<uint8_t> bytes = lineBytes(0, 10);
  TapWriter(ring.object()).append(1, bytes.data(), 10);
  TapReader reader(ring.object());
  TapWriter(ring.object()).append(2, bytes.data(), 4);
  std::vector<TapRecord> got;
  reader.poll(got);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].count, 4u);
  EXPECT_EQ(got[0].missed, 0u);
  EXPECT_EQ(reader.lineBytes(), 14u);
}

TEST(TapRing, AReaderRacingTheWriterGetsOnlyWholeRecords) {
  Ring ring;
  TapWriter writer(ring.object());
  TapReader reader(ring.object());
  constexpr uint64_t kLine = 4'000'000;
  std::atomic<bool> finished{false};
  std::thread daemon([&] {
    for (uint64_t line = 0; line < kLine;) {
      const auto count = static_cast<uint32_t>(1 + line % 260);
      const std::vector<uint8_t> bytes = lineBytes(line, count);
      writer.append(line, bytes.data(), count);
      line += count;
    }
    finished.store(true);
  });
  uint64_t seen = 0;
  std::vector<TapRecord> got;
  const auto check = [&] {
    reader.poll(got);
    for (const TapRecord& record : got) {
      seen += record.missed;
      ASSERT_EQ(record.timeUs, seen) << "a record out of place";
      ASSERT_EQ(std::vector<uint8_t>(record.bytes, record.bytes + record.count), lineBytes(seen, record.count));
      seen += record.count;
    }
  };
  while (!finished.load()) check();
  daemon.join();
  check();
  // The last look counts a stretch lost at the very end too.
  uint64_t end = 0;
  while (end < kLine) end += 1 + end % 260;
  seen += reader.finish(got);
  for (const TapRecord& record : got) seen += record.missed + record.count;
  EXPECT_EQ(seen, end);
}

}  // namespace
