// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The seqlock under fire: the real frame assembler delivers frames whose
// every byte is the frame's number while readers copy the block through the
// library's seqlock read. A copy whose bytes disagree, or whose length or
// sequence number does not match its bytes, is a torn copy. Runs under
// ThreadSanitizer, which also checks that every shared access is atomic.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <serialhub/protocol.h>

#include "libserialhub/status_reader.h"
#include "platform/client_objects.h"
#include "router/frame_assembler.h"
#include "router/status_publisher.h"

using namespace shub::router;

namespace {

struct NoHooks final : FrameAssemblerHooks, FrameOutlets {
  explicit NoHooks(uint8_t* block) : block_(block) {}
  std::chrono::steady_clock::time_point now() override { return {}; }
  bool backlightOn() override { return true; }
  void keyClick(int32_t) override {}
  uint8_t* block(uint32_t) const override { return block_; }
  void signal(uint32_t) override {}
  uint8_t* block_;
};

TEST(SeqlockHammer, NoTornCopyIsEverReturned) {
  alignas(8) static uint8_t status[SHUB_STATUS_SIZE];
  alignas(8) static uint8_t block[SHUB_BLOCK_SIZE];
  StatusPublisher publisher(status);
  const int32_t channels[] = {7};
  publisher.initialise(channels, 1);
  RouteTable table;
  table.count = 1;
  table.entries[0].channel = 7;
  table.entries[0].header[0] = 0xAB;  // frames learn their length from CR LF
  table.entries[0].relearn = 1;
  NoHooks hooks(block);
  FrameAssembler assembler(table, hooks, hooks, &publisher);

  constexpr uint32_t kFrames = 20000;
  std::atomic<bool> done{false};
  std::atomic<uint64_t> torn{0}, copies{0};
  auto reader = [&] {
    uint8_t buffer[SHUB_BLOCK_DATA_SIZE];
    while (!done.load(std::memory_order_relaxed)) {
      shub::lib::FrameCopy copy;
      if (!shub::lib::copyConsistent(status, 0, block, buffer, sizeof buffer, copy, shub::os::Clock::now() + std::chrono::seconds(1)) || copy.seq < 2) continue;
      // Frame k (seq k + 2) is 0xAB, 7 + k % 200 bytes of k % 256, CR LF.
      const uint64_t k = copy.seq - 2;
      const uint8_t fill = static_cast<uint8_t>(k);
      bool whole = copy.length == 10 + k % 200 && buffer[0] == 0xAB &&
                   buffer[copy.length - 2] == 0x0D && buffer[copy.length - 1] == 0x0A;
      for (uint32_t k = 1; whole && k + 2 < copy.length; ++k) whole = buffer[k] == fill;
      if (!whole) torn.fetch_add(1);
      copies.fetch_add(1);
    }
  };
  std::thread readers[] = {std::thread(reader), std::thread(reader)};
  std::vector<uint8_t> frame;
  for (uint32_t k = 0; k < kFrames; ++k) {
    frame.assign(1, 0xAB);
    frame.insert(frame.end(), 7 + k % 200, static_cast<uint8_t>(k));
    frame.push_back(0x0D);
    frame.push_back(0x0A);
    assembler.feedBytes(static_cast<uint32_t>(frame.size()), frame.data());
  }
  done.store(true);
  for (std::thread& thread : readers) thread.join();
  EXPECT_EQ(torn.load(), 0u) << "of " << copies.load() << " copies";
  EXPECT_GT(copies.load(), 0u);
}

}  // namespace

// A 64-bit counter of the status object read while the daemon writes it: each
// step adds 2^32 - 1, so both halves change at every store and always sum to
// 2^32 - 1. A reader that saw half of one store and half of another would see
// another sum: on a 32-bit target that is what a split store or load gives.
// The writer goes on until the readers have looked often enough.
TEST(SeqlockHammer, No64BitCounterIsReadTorn) {
  alignas(8) static uint8_t status[SHUB_STATUS_SIZE];
  StatusPublisher publisher(status);
  publisher.initialise(nullptr, 0);
  constexpr uint64_t kReads = 1 << 19;
  std::atomic<bool> done{false};
  std::atomic<uint64_t> torn{0}, reads{0};
  auto reader = [&] {
    uint64_t bad = 0;
    for (uint64_t count = 1; !done.load(std::memory_order_relaxed); ++count) {
      const uint64_t value = shub::os::wordAt<uint64_t>(status, SHUB_STATUS_NOISE_OFFSET).load(std::memory_order_relaxed);
      bad += value != 0 && (value >> 32) + (value & 0xFFFFFFFFu) != 0xFFFFFFFFu;
      if (count % 1024 == 0) reads.fetch_add(1024, std::memory_order_relaxed);
    }
    torn += bad;
  };
  std::thread readers[] = {std::thread(reader), std::thread(reader)};
  uint64_t steps = 0;
  for (; reads.load(std::memory_order_relaxed) < kReads; ++steps) publisher.noiseSkipped(0xFFFFFFFFu);
  done.store(true);
  for (std::thread& thread : readers) thread.join();
  EXPECT_EQ(torn.load(), 0u) << "of " << reads.load() << " reads during " << steps << " stores";
  EXPECT_EQ(shub::os::wordAt<uint64_t>(status, SHUB_STATUS_NOISE_OFFSET).load(), steps * uint64_t{0xFFFFFFFFu});
}
