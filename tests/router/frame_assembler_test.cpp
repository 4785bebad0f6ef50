// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Frame cutting as a table: each row is a route table, the bytes fed in
// (with the tick count and backlight state where they matter), and what must
// come out: the frames each entry's block held when its event was set, the
// dark-screen clicks, and the state left behind.
//
// Legend for routes: {header bytes, frame length, relearn, has a block}.
// Deliveries are {entry index, frame}: the length word must equal the frame
// size, the frame must sit at data byte 0 and the rest of the data area must
// be zero at the moment the event is set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "router/frame_assembler.h"
#include "router/status_publisher.h"

#include <serialhub/protocol.h>

using namespace shub::router;

namespace {

using Bytes = std::vector<uint8_t>;

struct Route {
  Bytes header;
  int32_t frameLength = 0;
  uint16_t relearn = 0;
  bool hasBlock = true;
};

struct Step {
  Bytes bytes;
  uint32_t tick = 0;
  int32_t backlight = 1;
};

struct Delivery {
  uint32_t entry;
  Bytes frame;
  bool operator==(const Delivery&) const = default;
};

struct Row {
  const char* name;
  std::vector<Route> routes;
  std::vector<Step> steps;
  std::vector<Delivery> delivered;
  std::vector<uint32_t> clicks = {};       // ticks at which KeyClick(2) was called
  std::vector<int32_t> frameLengths = {};  // entries' frame lengths afterwards, when given
  int32_t receivedAfter = -1;              // received length afterwards, when >= 0
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

Bytes repeat(uint8_t value, size_t count) { return Bytes(count, value); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

constexpr uint32_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xC5;

// Private blocks with guard bytes on both sides, fake events (addresses that
// are only compared), and hooks that record what the assembler asked for.
class Bench : public FrameAssemblerHooks, public FrameOutlets {
 public:
  explicit Bench(const std::vector<Route>& routes) {
    std::memset(memory_, kGuardByte, sizeof memory_);
    for (size_t i = 0; i < kRouteTableSize; ++i) std::memset(area(i), 0, SHUB_BLOCK_SIZE);
    table_.count = static_cast<uint32_t>(routes.size());
    for (size_t i = 0; i < routes.size(); ++i) {
      RouteEntry& entry = table_.entries[i];
      std::copy(routes[i].header.begin(), routes[i].header.end(), entry.header);
      entry.frameLength = routes[i].frameLength;
      entry.relearn = routes[i].relearn;
      hasBlock_[i] = routes[i].hasBlock;
    }
  }

  uint8_t* area(size_t i) { return memory_[i] + kGuard; }
  uint8_t* block(uint32_t i) const override { return hasBlock_[i] ? const_cast<Bench*>(this)->area(i) : nullptr; }

  bool guardsIntact() const {
    for (const auto& area : memory_) {
      for (uint32_t k = 0; k < kGuard; ++k) {
        if (area[k] != kGuardByte || area[kGuard + SHUB_BLOCK_SIZE + k] != kGuardByte) return false;
      }
    }
    return true;
  }

  std::chrono::steady_clock::time_point now() override {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(tick));
  }
  bool backlightOn() override { return backlight != 0; }
  void keyClick(int32_t kind) override {
    EXPECT_EQ(kind, 2);
    clicks.push_back(tick);
  }
  void signal(uint32_t i) override {
    ASSERT_LT(i, kRouteTableSize);
    const uint8_t* b = area(i);
    const uint32_t length = loadBlockLength(b);
    ASSERT_LE(length, SHUB_BLOCK_DATA_SIZE);
    Bytes frame(b + SHUB_BLOCK_DATA_OFFSET, b + SHUB_BLOCK_DATA_OFFSET + length);
    for (uint32_t k = length; k < SHUB_BLOCK_DATA_SIZE; ++k) EXPECT_EQ(b[SHUB_BLOCK_DATA_OFFSET + k], 0) << "data byte " << k;
    delivered.push_back({static_cast<uint32_t>(i), frame});
  }

  RouteTable table_;
  uint32_t tick = 0;
  int32_t backlight = 1;
  std::vector<uint32_t> clicks;
  std::vector<Delivery> delivered;

 private:
  alignas(8) uint8_t memory_[kRouteTableSize][kGuard + SHUB_BLOCK_SIZE + kGuard];
  bool hasBlock_[kRouteTableSize] = {};
};

const Bytes kAA55 = {0xAA, 0x55};

const std::vector<Row> kRows = {
    {"leading garbage is dropped",
     {{kAA55, 6}},
     {{{0x00, 0xAA, 0x55, 0x01, 0x02, 0x03, 0x04}}},
     {{0, {0xAA, 0x55, 0x01, 0x02, 0x03, 0x04}}},
     {}, {}, 0},
    {"a header inside a frame does not restart it",
     {{kAA55, 6}},
     {{{0xAA, 0x55, 0xAA, 0x55, 0x01, 0x02, 0xAA, 0x55, 0x03, 0x04, 0x05, 0x06}}},
     {{0, {0xAA, 0x55, 0xAA, 0x55, 0x01, 0x02}}, {0, {0xAA, 0x55, 0x03, 0x04, 0x05, 0x06}}}},
    {"frames and headers split across reads",
     {{kAA55, 4}},
     {{{0x07, 0xAA}}, {{0x55}}, {{0x01}}, {{0x02, 0xAA}}, {{0x55, 0x03, 0x04}}},
     {{0, {0xAA, 0x55, 0x01, 0x02}}, {0, {0xAA, 0x55, 0x03, 0x04}}}},
    {"learned length without relearn stays for later frames",
     {{kAA55, 0, 0}},
     {{{0xAA, 0x55, 0x01, 0x0D, 0x0A, 0xAA, 0x55, 0x0D, 0x0A, 0x09}}},
     {{0, {0xAA, 0x55, 0x01, 0x0D, 0x0A}}, {0, {0xAA, 0x55, 0x0D, 0x0A, 0x09}}},
     {}, {5}},
    {"relearn measures every frame by its own CR LF",
     {{kAA55, 0, 1}},
     {{{0xAA, 0x55, 0x01, 0x0D, 0x0A, 0xAA, 0x55, 0x02, 0x03, 0x0D, 0x0A}}},
     {{0, {0xAA, 0x55, 0x01, 0x0D, 0x0A}}, {0, {0xAA, 0x55, 0x02, 0x03, 0x0D, 0x0A}}},
     {}, {0}},
    {"relearn also forgets a configured length",
     {{kAA55, 3, 1}},
     {{{0xAA, 0x55, 0x01, 0xAA, 0x55, 0x02, 0x0D, 0x0A}}},
     {{0, {0xAA, 0x55, 0x01}}, {0, {0xAA, 0x55, 0x02, 0x0D, 0x0A}}},
     {}, {0}},
    {"a length shorter than the header discards every match",
     {{kAA55, 1}, {{0xBB}, 2}},
     {{{0xAA, 0x55, 0x01, 0xAA, 0x55, 0xBB, 0x07}}},
     {{1, {0xBB, 0x07}}},
     {}, {1, 2}, 0},
    {"two entries with the same header: the later one wins",
     {{kAA55, 3}, {kAA55, 3}},
     {{{0xAA, 0x55, 0x01}}},
     {{1, {0xAA, 0x55, 0x01}}}},
    {"a later header that is a suffix takes the frame over",
     {{{0x01, 0xAA, 0x55}, 4}, {kAA55, 3}},
     {{{0x01, 0xAA, 0x55, 0x07, 0x08}}},
     {{1, {0xAA, 0x55, 0x07}}}},
    {"a later one-byte header that ends another takes the frame over",
     {{kAA55, 3}, {{0x55}, 2}},
     {{{0x55, 0x01, 0xAA, 0x55, 0x07}}},
     {{1, {0x55, 0x01}}, {1, {0x55, 0x07}}}},
    {"a later, longer header cannot match the rebuilt buffer",
     {{kAA55, 3}, {{0x01, 0xAA, 0x55}, 4}},
     {{{0x01, 0xAA, 0x55, 0x07}}},
     {{0, {0xAA, 0x55, 0x07}}}},
    {"261 bytes of noise: the window starts again from the last byte",
     {{kAA55, 6}},
     {{repeat(0x11, 261)}},
     {},
     {}, {}, 1},
    {"a header completed by the 261st byte is still found",
     {{kAA55, 4}},
     {{concat({repeat(0x11, 259), kAA55, {0x01, 0x02}})}},
     {{0, {0xAA, 0x55, 0x01, 0x02}}}},
    {"a header split by the window reset is still found",
     {{kAA55, 3}},
     {{concat({repeat(0x11, 260), {0xAA}, {0x55, 0x09}})}},
     {{0, {0xAA, 0x55, 0x09}}}},
    {"a three-byte header split two-one by the window reset is still found",
     {{{0x01, 0x02, 0x03}, 4}, {kAA55, 3}},
     {{concat({repeat(0x11, 259), {0x01, 0x02}, {0x03, 0x09}})}},
     {{0, {0x01, 0x02, 0x03, 0x09}}}},
    {"an entry without a block receives nothing",
     {{kAA55, 3, 0, false}, {{0xBB}, 2}},
     {{{0xAA, 0x55, 0x01, 0xBB, 0x02}}},
     {{1, {0xBB, 0x02}}}},
    {"an empty header never matches",
     {{{}, 3}, {{0xAA}, 2}},
     {{{0x00, 0x00, 0x00, 0xAA, 0x01}}},
     {{1, {0xAA, 0x01}}}},
    {"a full-size frame fills the data area",
     {{{0xAA}, 260}},
     {{concat({{0xAA}, repeat(0x42, 259)})}},
     {{0, concat({{0xAA}, repeat(0x42, 259)})}}},
    {"a frame length above 260 is dropped at byte 261 and search resumes",
     {{{0xAA}, 261}, {{0xBB}, 2}, {{0xCC}, -1}},
     {{concat({{0xAA}, repeat(0x00, 260), {0xBB, 0x02}, {0xCC}, repeat(0x00, 260), {0xBB, 0x03}})}},
     {{1, {0xBB, 0x02}}, {1, {0xBB, 0x03}}},
     {}, {261, 2, -1}},
    {"a CR LF ending at byte 260 is learned and delivered",
     {{{0xAA}, 0}},
     {{concat({{0xAA}, repeat(0x00, 257), {0x0D, 0x0A}})}},
     {{0, concat({{0xAA}, repeat(0x00, 257), {0x0D, 0x0A}})}},
     {}, {260}},
    {"a CR LF ending at byte 261 is not learned; the frame is dropped",
     {{{0xAA}, 0}},
     {{concat({{0xAA}, repeat(0x00, 258), {0x0D, 0x0A}, {0xAA, 0x01, 0x0D, 0x0A}})}},
     {{0, {0xAA, 0x01, 0x0D, 0x0A}}},
     {}, {4}},
    {"dark screen: click at 0, silence at 500 and 1000, re-arm at 1300, click at 1400",
     {{kAA55, 3}, {{0xBB}, 2}},
     {{{0xAA, 0x55, 0x01}, 0, 0},
      {{0xAA, 0x55, 0x02}, 500, 0},
      {{0xAA, 0x55, 0x03}, 1000, 0},
      {{0xBB, 0x04}, 1100, 0},
      {{0xAA, 0x55, 0x05}, 1300, 0},
      {{0xAA, 0x55, 0x06}, 1400, 0},
      {{0xAA, 0x55, 0x07}, 1500, 1}},
     {{1, {0xBB, 0x04}}, {0, {0xAA, 0x55, 0x07}}},
     {0, 1400}},
    {"the dark rule belongs to entry 0 only",
     {{{0xBB}, 2}, {kAA55, 3}},
     {{{0xAA, 0x55, 0x01, 0xBB, 0x02}, 0, 0}},
     {{1, {0xAA, 0x55, 0x01}}},
     {0}},
};

class FrameAssemblerTable : public testing::TestWithParam<Row> {};

TEST_P(FrameAssemblerTable, CutsAndDelivers) {
  const Row& row = GetParam();
  Bench bench(row.routes);
  FrameAssembler assembler(bench.table_, bench, bench);
  for (const Step& step : row.steps) {
    bench.tick = step.tick;
    bench.backlight = step.backlight;
    assembler.feedBytes(static_cast<uint32_t>(step.bytes.size()), step.bytes.data());
    EXPECT_EQ(assembler.inFrame(), assembler.currentEntry() != -1);
    EXPECT_LE(assembler.receivedLength(), FrameAssembler::kMaxFrame);
  }
  EXPECT_EQ(bench.delivered, row.delivered);
  EXPECT_EQ(bench.clicks, row.clicks);
  for (size_t i = 0; i < row.frameLengths.size(); ++i) {
    EXPECT_EQ(assembler.frameLength(static_cast<uint32_t>(i)), row.frameLengths[i]) << "entry " << i;
  }
  if (row.receivedAfter >= 0) {
    EXPECT_EQ(assembler.receivedLength(), static_cast<uint32_t>(row.receivedAfter));
    EXPECT_FALSE(assembler.inFrame());
  }
  for (size_t i = row.routes.size(); i < kRouteTableSize; ++i) EXPECT_EQ(loadBlockLength(bench.area(i)), 0u);
  EXPECT_TRUE(bench.guardsIntact());
}

std::string rowName(const testing::TestParamInfo<Row>& info) {
  std::string name;
  for (const char* c = info.param.name; *c != '\0'; ++c) {
    name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  }
  return std::to_string(info.index) + "_" + name;
}

INSTANTIATE_TEST_SUITE_P(Rows, FrameAssemblerTable, testing::ValuesIn(kRows), rowName);

// A dark-screen frame wipes entry 0's data area but leaves its length word.
TEST(FrameAssemblerDark, DroppedFrameClearsDataAreaOnly) {
  Bench bench({{kAA55, 3}});
  uint8_t* block = bench.area(0);
  storeBlockLength(block, 77);
  std::memset(block + SHUB_BLOCK_DATA_OFFSET, 0xEE, SHUB_BLOCK_DATA_SIZE);
  std::memset(block + SHUB_BLOCK_LOCK_OFFSET, 0x5A, SHUB_BLOCK_LOCK_SIZE);
  bench.backlight = 0;
  FrameAssembler assembler(bench.table_, bench, bench);
  const uint8_t frame[] = {0xAA, 0x55, 0x01};
  assembler.feedBytes(3, frame);
  EXPECT_EQ(loadBlockLength(block), 77u);
  for (uint32_t k = 0; k < SHUB_BLOCK_DATA_SIZE; ++k) ASSERT_EQ(block[SHUB_BLOCK_DATA_OFFSET + k], 0) << k;
  for (uint32_t k = 0; k < SHUB_BLOCK_LOCK_SIZE; ++k) ASSERT_EQ(block[SHUB_BLOCK_LOCK_OFFSET + k], 0x5A) << k;
  EXPECT_TRUE(bench.delivered.empty());
  EXPECT_FALSE(assembler.clickArmed());
}

// Delivery never touches the reserved word or the lock area.
TEST(FrameAssemblerDelivery, LeavesReservedWordAndLockArea) {
  Bench bench({{kAA55, 4}});
  uint8_t* block = bench.area(0);
  std::memset(block + 4, 0x77, 4);
  std::memset(block + SHUB_BLOCK_LOCK_OFFSET, 0x5A, SHUB_BLOCK_LOCK_SIZE);
  FrameAssembler assembler(bench.table_, bench, bench);
  const uint8_t frame[] = {0xAA, 0x55, 0x01, 0x02};
  assembler.feedBytes(4, frame);
  ASSERT_EQ(bench.delivered.size(), 1u);
  for (uint32_t k = 4; k < 8; ++k) EXPECT_EQ(block[k], 0x77);
  for (uint32_t k = 0; k < SHUB_BLOCK_LOCK_SIZE; ++k) EXPECT_EQ(block[SHUB_BLOCK_LOCK_OFFSET + k], 0x5A);
}

// The status object counts what the assembler delivered, skipped and lost:
// two entries share channel 5, so their frames share one sequence number and
// one seqlock word, while frames and bytes stay per entry.
TEST(FrameAssemblerStatus, CountsFramesNoiseDarkAndOverlong) {
  Bench bench({{kAA55, 4}, {{0xBB, 0x66}, 3}, {{0xCC}, 300}});
  alignas(8) uint8_t status[SHUB_STATUS_SIZE] = {};
  StatusPublisher publisher(status);
  const int32_t channels[] = {5, 5, 9};
  publisher.initialise(channels, 3);
  FrameAssembler assembler(bench.table_, bench, bench, &publisher);
  const Bytes bytes = concat({{0x01, 0x02, 0x03}, {0xAA, 0x55, 0x01, 0x02}, {0xBB, 0x66, 0x07},
                              {0x04}, {0xCC}, repeat(0x00, 300)});
  assembler.feedBytes(static_cast<uint32_t>(bytes.size()), bytes.data());
  bench.backlight = 0;
  const Bytes dark = {0xAA, 0x55, 0x01, 0x02};
  assembler.feedBytes(static_cast<uint32_t>(dark.size()), dark.data());

  const auto u64 = [&](uint32_t offset) {
    uint64_t value;
    std::memcpy(&value, status + offset, sizeof value);
    return value;
  };
  const auto entry = [&](uint32_t i, uint32_t member) { return SHUB_STATUS_ENTRY_OFFSET + i * SHUB_STATUS_ENTRY_SIZE + member; };
  EXPECT_EQ(u64(entry(0, SHUB_STATUS_ENTRY_SEQ)), 1u + 2u) << "1 before the first frame";
  EXPECT_EQ(u64(entry(0, SHUB_STATUS_ENTRY_FRAMES)), 1u);
  EXPECT_EQ(u64(entry(0, SHUB_STATUS_ENTRY_BYTES)), 4u);
  EXPECT_EQ(u64(entry(1, SHUB_STATUS_ENTRY_FRAMES)), 1u);
  EXPECT_EQ(u64(entry(1, SHUB_STATUS_ENTRY_BYTES)), 3u);
  uint32_t version;
  std::memcpy(&version, status + entry(0, SHUB_STATUS_ENTRY_VERSION), sizeof version);
  EXPECT_EQ(version, 6u) << "two frames and one dark clear, each an even pair";
  // The 40 bytes past the overlong frame's cut are noise too.
  EXPECT_EQ(u64(SHUB_STATUS_NOISE_OFFSET), 3u + 1u + 40u);
  EXPECT_EQ(u64(SHUB_STATUS_OVERLONG_OFFSET), 1u);
  EXPECT_EQ(u64(SHUB_STATUS_DARK_OFFSET), 1u);
  uint32_t magic;
  std::memcpy(&magic, status + SHUB_STATUS_MAGIC_OFFSET, sizeof magic);
  EXPECT_EQ(magic, SHUB_STATUS_MAGIC);
}

}  // namespace
