// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The far end of the latency measurement: another process that waits on a
// channel event as a client would, and prints for each wake-up the sequence
// number in the frame (frame bytes 2..5, little-endian) and CLOCK_MONOTONIC in
// nanoseconds. Ends after `count` frames or 2 s without one.
//
// usage: latency_probe <channel> <count>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/named_objects.h"
#include "router/channel_block.h"
#include "router/channel_blocks.h"

using namespace shub::router;

namespace {

long long monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: latency_probe <channel> <count>\n");
    return 2;
  }
  const int channel = std::atoi(argv[1]);
  const long count = std::atol(argv[2]);
  char blockName[32], eventName[40];
  channelBlockName(channel, blockName, sizeof blockName);
  channelEventName(channel, eventName, sizeof eventName);
  shub::os::Event event = shub::os::Event::open(eventName);
  shub::os::Block block = shub::os::openOrCreateBlock(blockName, SHUB_BLOCK_SIZE);
  uint8_t* address = block.data();
  if (!event.valid() || !address) {
    std::fprintf(stderr, "latency_probe: no channel %d\n", channel);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (long seen = 0; seen < count && event.wait(std::chrono::milliseconds(2000)) == shub::os::WaitResult::signalled; ++seen) {
    const long long now = monotonicNs();
    uint8_t seq[4];
    loadBlockBytes(address, SHUB_BLOCK_DATA_OFFSET + 2, seq, 4);
    std::printf("%u %lld\n", seq[0] | seq[1] << 8 | seq[2] << 16 | static_cast<unsigned>(seq[3]) << 24, now);
  }
  return 0;
}
