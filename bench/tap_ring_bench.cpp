// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Cost per received byte of the raw receive tap on the serial reader's path:
// one append per read, for reads of 1 to 260 bytes, into a ring in private
// memory that nobody reads (the writer never looks at readers anyway). The
// ...Clock cases add the arrival time the daemon takes for every read.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include <serialhub/protocol.h>

#include "router/receive_tap.h"
#include "router/tap_ring.h"

using namespace shub::router;

namespace {

struct Ring {
  std::vector<uint64_t> words = std::vector<uint64_t>(SHUB_TAP_SIZE / 8);
  TapWriter writer{reinterpret_cast<uint8_t*>(words.data())};
};

void appendReads(benchmark::State& state, bool clock) {
  Ring ring;
  std::vector<uint8_t> read(static_cast<size_t>(state.range(0)), 0x5A);
  const auto count = static_cast<uint32_t>(read.size());
  uint64_t time = 0;
  for (auto _ : state) {
    ring.writer.append(clock ? tapClockUs() : ++time, read.data(), count);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * count);
}

void TapAppend(benchmark::State& state) { appendReads(state, false); }
void TapAppendClock(benchmark::State& state) { appendReads(state, true); }

}  // namespace

BENCHMARK(TapAppend)->Arg(1)->Arg(16)->Arg(64)->Arg(260);
BENCHMARK(TapAppendClock)->Arg(1)->Arg(16)->Arg(64)->Arg(260);

BENCHMARK_MAIN();
