// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Monitors against the real serialhub over a pty: many monitors of several
// channels at full line speed each get every frame or a counted gap, whole and
// in order; a killed daemon wakes a blocked monitor at once; a frame's time is
// the daemon's; and what cannot be served is refused with the right error.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <vector>

#include <serialhub/channel.h>

#include "tests/integration/monitor_long_time.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/pty.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using testing_support::waitUntil;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kChannels[] = {2, 3, 5};
constexpr const char* kRoutes =
    "2,aa 52,,0-0,6,two\n"
    "3,aa 53,,0-0,6,three\n"
    "5,aa 55,,0-0,6,five\n";

// Frame k of channel c: its header, k, the channel, and a check byte, so a
// torn frame or one from elsewhere shows.
Bytes frameOf(int channel, uint16_t k) {
  const auto lo = static_cast<uint8_t>(k), hi = static_cast<uint8_t>(k >> 8);
  return {0xAA, static_cast<uint8_t>(0x50 + channel), lo, hi, static_cast<uint8_t>(channel),
          static_cast<uint8_t>(lo ^ hi ^ channel)};
}

bool whole(const shub_frame& f) {
  return f.length == 6 && f.data[0] == 0xAA && f.data[1] == 0x50 + f.channel && f.data[4] == f.channel &&
         f.data[5] == (f.data[2] ^ f.data[3] ^ f.channel);
}

uint16_t numberOf(const shub_frame& f) { return static_cast<uint16_t>(f.data[2] | f.data[3] << 8); }

class Monitors : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
    sandbox.writeFile("dev/BAT1", "1\n");
    daemon.writeRoutes(kRoutes);
  }
  void TearDown() override {
    for (shub_monitor* m : monitors) shub_monitor_close(m);
  }

  shub_monitor* open(std::vector<int> channels) {
    shub_monitor* m = shub_monitor_open(channels.data(), channels.size());
    if (m != nullptr) monitors.push_back(m);
    return m;
  }

  testing_support::DeviceSandbox sandbox;
  testing_support::PtyPair pty;
  testing_support::DaemonProcess daemon{sandbox};
  std::vector<shub_monitor*> monitors;
};

// What one monitor saw of each channel: frames received and frames it was
// told it missed, after its first frame of the channel.
struct Tally {
  std::map<int, size_t> received, missed;
  std::map<int, uint64_t> lastSeq;
  int lastNumber = -1;

  void take(const shub_frame& f) {
    ASSERT_TRUE(whole(f)) << "a torn frame on channel " << f.channel;
    ASSERT_GT(numberOf(f), lastNumber) << "frames out of order";
    lastNumber = numberOf(f);
    if (lastSeq.count(f.channel) != 0) {
      ASSERT_EQ(f.missed, f.seq - lastSeq[f.channel] - 1) << "a gap not counted on channel " << f.channel;
      ++received[f.channel];
      missed[f.channel] += f.missed;
    }
    lastSeq[f.channel] = f.seq;
  }
};

// Reads every monitor until `done` holds for all their tallies, or 20 s pass.
bool drain(const std::vector<shub_monitor*>& monitors, std::vector<Tally>& tallies,
           const std::function<bool(const Tally&, size_t)>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    bool all = true;
    for (size_t i = 0; i < monitors.size(); ++i) {
      shub_frame frame;
      while (shub_monitor_next(monitors[i], 0, &frame) == 1) tallies[i].take(frame);
      all = all && done(tallies[i], i);
    }
    if (all) return true;
    std::vector<pollfd> fds;
    for (shub_monitor* m : monitors) fds.push_back({shub_monitor_fd(m), POLLIN, 0});
    poll(fds.data(), fds.size(), 100);
  }
  return false;
}

TEST_F(Monitors, EightMonitorsAtFullSpeedGetEveryFrameOrACountedGapInOrder) {
  ASSERT_TRUE(daemon.startReady());
  const std::vector<std::vector<int>> subscriptions = {{}, {}, {2, 3, 5}, {2}, {3, 5}, {5}, {2, 5}, {}};
  for (const auto& channels : subscriptions) ASSERT_NE(open(channels), nullptr) << std::strerror(errno);
  const auto wants = [&](size_t i, int channel) {
    const auto& s = subscriptions[i];
    return s.empty() || std::find(s.begin(), s.end(), channel) != s.end();
  };
  // An opening frame per channel gives each monitor its starting point.
  uint16_t k = 0;
  for (int channel : kChannels) pty.send(frameOf(channel, k++));
  std::vector<Tally> tallies(monitors.size());
  ASSERT_TRUE(drain(monitors, tallies, [&](const Tally& t, size_t i) {
    for (int channel : kChannels) {
      if (wants(i, channel) && t.lastSeq.count(channel) == 0) return false;
    }
    return true;
  }));
  // 3000 frames as fast as the pty takes them; monitor 7 reads nothing until
  // the end, so its queue overflows for sure.
  std::map<int, size_t> sent;
  Bytes burst;
  for (int n = 0; n < 3000; ++n) {
    const int channel = kChannels[n % 3];
    const Bytes frame = frameOf(channel, k++);
    burst.insert(burst.end(), frame.begin(), frame.end());
    ++sent[channel];
    if (burst.size() >= 600) {
      pty.send(burst);
      burst.clear();
      std::vector<Tally> busy(tallies.begin(), tallies.end() - 1);
      drain({monitors.begin(), monitors.end() - 1}, busy, [](const Tally&, size_t) { return true; });
      std::copy(busy.begin(), busy.end(), tallies.begin());
    }
  }
  pty.send(burst);
  // A closing frame per channel, once the burst is delivered and every queue
  // read empty, shows each monitor's gaps.
  ASSERT_TRUE(waitUntil([&] {
    shub_status status{};
    return shub_stats(&status) == 0 && status.entries[0].frames + status.entries[1].frames + status.entries[2].frames == 3003;
  }));
  drain(monitors, tallies, [](const Tally&, size_t) { return true; });
  for (int channel : kChannels) {
    pty.send(frameOf(channel, k++));
    ++sent[channel];
  }
  ASSERT_TRUE(drain(monitors, tallies, [&](const Tally& t, size_t i) {
    for (int channel : kChannels) {
      if (wants(i, channel) && t.received.count(channel) == 0) return false;
      if (wants(i, channel) && t.received.at(channel) + t.missed.at(channel) < sent[channel]) return false;
    }
    return true;
  }));
  for (size_t i = 0; i < monitors.size(); ++i) {
    for (int channel : kChannels) {
      if (!wants(i, channel)) {
        EXPECT_EQ(tallies[i].lastSeq.count(channel), 0u) << "monitor " << i << " got channel " << channel;
        continue;
      }
      EXPECT_EQ(tallies[i].received[channel] + tallies[i].missed[channel], sent[channel])
          << "monitor " << i << " channel " << channel;
    }
  }
  size_t lateMissed = 0;
  for (int channel : kChannels) lateMissed += tallies.back().missed[channel];
  EXPECT_GT(lateMissed, 0u) << "the late reader's queue never overflowed: the test proves nothing";
  EXPECT_TRUE(daemon.alive());
}

TEST_F(Monitors, KilledDaemonWakesABlockedMonitorAtOnceAndARestartIsFollowed) {
  ASSERT_TRUE(daemon.startReady());
  shub_monitor* m = open({3});
  ASSERT_NE(m, nullptr) << std::strerror(errno);
  // The frame's time is the daemon's: taken before this client looked.
  const auto sent = std::chrono::system_clock::now();
  pty.send(frameOf(3, 7));
  shub_status status{};
  ASSERT_TRUE(waitUntil([&] { return shub_stats(&status) == 0 && status.entries[1].frames == 1; }));
  const auto delivered = std::chrono::system_clock::now();
  shub_frame frame;
  ASSERT_EQ(shub_monitor_next(m, 5000, &frame), 1);
  const auto stamped = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::seconds(frame.time.tv_sec) + std::chrono::nanoseconds(frame.time.tv_nsec)));
  EXPECT_TRUE(stamped >= sent - 1ms && stamped <= delivered) << "the frame's time is not its read's";
  EXPECT_EQ(frame.seq, status.entries[1].seq);
  // A program built with the default time_t gets the same frame in its layout.
  pty.send(frameOf(3, 9));
  const testing_support::LongTimeFrame longTime = testing_support::nextWithLongTime(m, 5000);
  ASSERT_EQ(longTime.got, 1);
  EXPECT_TRUE(longTime.guardIntact) << "the library wrote past the program's shub_frame";
  EXPECT_EQ(longTime.length, frameOf(3, 9).size());
  EXPECT_EQ(longTime.firstByte, 0xAA);
  EXPECT_NEAR(longTime.seconds, std::chrono::system_clock::to_time_t(delivered), 5);

  pollfd watched{shub_monitor_fd(m), POLLIN, 0};
  ASSERT_EQ(poll(&watched, 1, 0), 0);
  const auto killed = std::chrono::steady_clock::now();
  daemon.killHard();
  ASSERT_EQ(poll(&watched, 1, 5000), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 1s);
  for (int call = 0; call < 2; ++call) {
    EXPECT_EQ(shub_monitor_next(m, -1, &frame), -1);
    EXPECT_EQ(errno, ENOTCONN);
  }
  EXPECT_EQ(shub_monitor_open(nullptr, 0), nullptr) << "a dead daemon's socket answers";
  EXPECT_EQ(errno, ENOTCONN);
  ASSERT_TRUE(daemon.startReady());
  ASSERT_NE(m = open({3}), nullptr) << std::strerror(errno);
  pty.send(frameOf(3, 8));
  ASSERT_EQ(shub_monitor_next(m, 5000, &frame), 1);
  EXPECT_EQ(numberOf(frame), 8);
}

TEST_F(Monitors, WhatCannotBeServedIsRefused) {
  errno = 0;
  EXPECT_EQ(open({}), nullptr);
  EXPECT_EQ(errno, ENOTCONN) << "no daemon";
  // A file where the socket goes is not replaced: said once, the daemon runs on.
  std::filesystem::create_directories(sandbox.objects());
  std::ofstream(sandbox.objects() + "/CRT:MONITOR") << "not a socket\n";
  ASSERT_TRUE(daemon.startReady());
  EXPECT_NE(daemon.stderrText().find("CRT:MONITOR: exists and is not a socket"), std::string::npos)
      << daemon.stderrText();
  EXPECT_EQ(open({}), nullptr);
  EXPECT_EQ(errno, EINVAL);
  ASSERT_EQ(daemon.stop(), 0);

  std::filesystem::remove(sandbox.objects() + "/CRT:MONITOR");
  ASSERT_TRUE(daemon.startReady());
  EXPECT_EQ(open({2, 4}), nullptr);
  EXPECT_EQ(errno, ENOENT) << "channel 4 is not routed";
  EXPECT_EQ(open(std::vector<int>(SHUB_MONITOR_CHANNELS_MAX + 1, 2)), nullptr);
  EXPECT_EQ(errno, EINVAL);
  for (unsigned i = 0; i < SHUB_MONITOR_MAX; ++i) ASSERT_NE(open({5}), nullptr) << i << ": " << std::strerror(errno);
  EXPECT_EQ(open({5}), nullptr);
  EXPECT_EQ(errno, EUSERS);
  pty.send(frameOf(5, 1));
  for (shub_monitor* m : monitors) {
    shub_frame frame;
    ASSERT_EQ(shub_monitor_next(m, 5000, &frame), 1);
    EXPECT_TRUE(whole(frame));
  }
}

}  // namespace
