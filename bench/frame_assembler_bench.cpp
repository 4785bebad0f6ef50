// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Cost per received byte of the frame assembler with a full route table of
// ten entries: on noise (the search window), on back-to-back short frames
// (search, collect, deliver), and on frames measured by their CR LF. Blocks
// live in private memory; events go to a no-op, or to real events in a private folder.
// The ...Status cases add a status object (private memory, nobody watching):
// their cost beside the same case without is the price of publishing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/client_objects.h"
#include "router/frame_assembler.h"
#include "router/status_publisher.h"

#include <serialhub/protocol.h>

using namespace shub::router;

namespace {

struct NoHooks final : FrameAssemblerHooks {
  std::chrono::steady_clock::time_point now() override { return {}; }
  bool backlightOn() override { return true; }
  void keyClick(int32_t) override {}
};

// Real events are named objects: a folder of the bench's own keeps them apart from a daemon's.
struct PrivateObjects {
  PrivateObjects() {
    if (mkdtemp(path) != nullptr) setenv("CE_OBJECTS", path, 1);
  }
  ~PrivateObjects() { std::filesystem::remove_all(path); }
  char path[32] = "/tmp/shub-bench-XXXXXX";
};

// Ten entries, header {0xA0 + i, 0x55}; `frameLength` 0 with relearn learns.
struct Setup final : FrameOutlets {
  explicit Setup(int32_t frameLength, uint16_t relearn, bool realEvents) {
    table.count = kRouteTableSize;
    for (uint32_t i = 0; i < kRouteTableSize; ++i) {
      RouteEntry& entry = table.entries[i];
      entry.header[0] = static_cast<uint8_t>(0xA0 + i);
      entry.header[1] = 0x55;
      entry.frameLength = frameLength;
      entry.relearn = relearn;
      if (realEvents) events[i] = shub::os::Event::create("BENCH" + std::to_string(i) + ":EVENT");
    }
  }
  uint8_t* block(uint32_t entry) const override { return withBlocks ? const_cast<uint8_t*>(blocks[entry]) : nullptr; }
  void signal(uint32_t entry) override { events[entry].signal(); }
  PrivateObjects objects;
  RouteTable table;
  bool withBlocks = true;
  alignas(8) uint8_t blocks[kRouteTableSize][SHUB_BLOCK_SIZE] = {};
  shub::os::Event events[kRouteTableSize];
};

std::vector<uint8_t> noise() {
  std::mt19937 random(12345);
  std::vector<uint8_t> bytes(4096);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// Frames for entries 0..9 in turn: header, payload, and (when `crlf`) CR LF.
std::vector<uint8_t> frames(uint32_t payload, bool crlf) {
  std::vector<uint8_t> bytes;
  for (uint32_t n = 0; bytes.size() < 4096; ++n) {
    bytes.push_back(static_cast<uint8_t>(0xA0 + n % kRouteTableSize));
    bytes.push_back(0x55);
    for (uint32_t k = 0; k < payload; ++k) bytes.push_back(static_cast<uint8_t>(0x20 + k));
    if (crlf) {
      bytes.push_back(0x0D);
      bytes.push_back(0x0A);
    }
  }
  return bytes;
}

// A status object nobody watches, in private memory.
struct Status {
  Status() {
    int32_t channels[kRouteTableSize];
    for (uint32_t i = 0; i < kRouteTableSize; ++i) channels[i] = static_cast<int32_t>(i + 1);
    publisher.initialise(channels, kRouteTableSize);
  }
  alignas(8) uint8_t bytes[SHUB_STATUS_SIZE] = {};
  StatusPublisher publisher{bytes};
};

void run(benchmark::State& state, Setup& setup, FrameAssemblerHooks& hooks, const std::vector<uint8_t>& bytes,
         StatusPublisher* status = nullptr) {
  FrameAssembler assembler(setup.table, setup, hooks, status);
  for (auto _ : state) {
    // Fed in reads of up to 260 bytes, as the serial reader does.
    for (size_t at = 0; at < bytes.size(); at += 260) {
      const size_t count = std::min<size_t>(260, bytes.size() - at);
      assembler.feedBytes(static_cast<uint32_t>(count), bytes.data() + at);
    }
    benchmark::DoNotOptimize(setup.blocks);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["ns_per_byte"] = benchmark::Counter(static_cast<double>(bytes.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void BM_Noise(benchmark::State& state) {
  Setup setup(6, 0, false);
  NoHooks hooks;
  run(state, setup, hooks, noise());
}

void BM_SixByteFrames(benchmark::State& state) {
  Setup setup(6, 0, false);
  NoHooks hooks;
  run(state, setup, hooks, frames(4, false));
}

// The same without blocks: the state machine alone, no delivery.
void BM_SixByteFramesNoBlocks(benchmark::State& state) {
  Setup setup(6, 0, false);
  setup.withBlocks = false;
  NoHooks hooks;
  run(state, setup, hooks, frames(4, false));
}

void BM_SixByteFramesRealEvents(benchmark::State& state) {
  Setup setup(6, 0, true);
  NoHooks hooks;
  run(state, setup, hooks, frames(4, false));
}

void BM_NoiseStatus(benchmark::State& state) {
  Setup setup(6, 0, false);
  NoHooks hooks;
  Status status;
  run(state, setup, hooks, noise(), &status.publisher);
}

void BM_SixByteFramesStatus(benchmark::State& state) {
  Setup setup(6, 0, false);
  NoHooks hooks;
  Status status;
  run(state, setup, hooks, frames(4, false), &status.publisher);
}

void BM_SixByteFramesRealEventsStatus(benchmark::State& state) {
  Setup setup(6, 0, true);
  NoHooks hooks;
  Status status;
  run(state, setup, hooks, frames(4, false), &status.publisher);
}

void BM_CrLfLearnedFrames(benchmark::State& state) {
  Setup setup(0, 1, false);
  NoHooks hooks;
  run(state, setup, hooks, frames(8, true));
}

}  // namespace

BENCHMARK(BM_Noise);
BENCHMARK(BM_SixByteFrames);
BENCHMARK(BM_SixByteFramesNoBlocks);
BENCHMARK(BM_SixByteFramesRealEvents);
BENCHMARK(BM_CrLfLearnedFrames);
BENCHMARK(BM_NoiseStatus);
BENCHMARK(BM_SixByteFramesStatus);
BENCHMARK(BM_SixByteFramesRealEventsStatus);
BENCHMARK_MAIN();
