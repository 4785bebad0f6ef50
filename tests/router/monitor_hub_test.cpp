// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The monitor hub with its two threads: monitors come and go on the serving
// thread while frames go out on another, and every monitor that stays gets its
// frames in order. Also a socket in an objects folder too deep for a socket
// address.
#include "router/monitor_hub.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include <serialhub/channel.h>

#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

using namespace shub::router;

namespace {

RouteTable tableOf(std::initializer_list<int32_t> channels) {
  RouteTable table;
  for (const int32_t channel : channels) table.entries[table.count++].channel = channel;
  return table;
}

// Serves `hub` on a thread of its own until the test ends, counting its turns.
struct Serving {
  explicit Serving(MonitorHub& hub)
      : thread([&hub, this](std::stop_token stop) {
          while (!stop.stop_requested()) {
            pollfd ready{hub.readinessFd(), POLLIN, 0};
            if (poll(&ready, 1, 10) > 0) hub.serve();
            ++turns;
          }
        }) {}
  std::atomic<uint64_t> turns{0};
  std::jthread thread;
};

TEST(MonitorHub, MonitorsComeAndGoWhileFramesGoOut) {
  testing_support::DeviceSandbox sandbox;
  MonitorHub hub;
  hub.route(tableOf({2, 3}));
  std::string why;
  ASSERT_TRUE(hub.open(&why)) << why;
  Serving serving(hub);
  std::atomic<bool> done{false};
  std::jthread reader([&] {
    const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
    uint64_t seqs[2] = {1, 1};
    for (int k = 0; !done.load(); ++k) {
      hub.lineRead();
      hub.delivered(2 + k % 2, ++seqs[k % 2], bytes, sizeof bytes);
    }
  });
  for (int round = 0; round < 100; ++round) {
    const int channel = 2 + round % 2;
    shub_monitor* m = shub_monitor_open(&channel, 1);
    ASSERT_NE(m, nullptr) << round << ": " << std::strerror(errno);
    shub_frame first, second;
    ASSERT_EQ(shub_monitor_next(m, 5000, &first), 1);
    ASSERT_EQ(shub_monitor_next(m, 5000, &second), 1);
    EXPECT_EQ(first.channel, channel);
    EXPECT_GT(second.seq, first.seq);
    EXPECT_EQ(second.missed, second.seq - first.seq - 1);
    shub_monitor_close(m);
  }
  done = true;
  EXPECT_TRUE(std::filesystem::exists(sandbox.objects() + "/CRT:MONITOR"));
  ASSERT_TRUE(testing_support::waitUntil([&] { return hub.subscribed() == 0; })) << "a monitor that left stays counted";
}

TEST(MonitorHub, ServesFromAFolderTooDeepForASocketAddress) {
  testing_support::DeviceSandbox sandbox;
  const std::string deep = sandbox.objects() + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
  std::filesystem::create_directories(deep);
  setenv("CE_OBJECTS", deep.c_str(), 1);
  MonitorHub hub;
  hub.route(tableOf({7}));
  std::string why;
  ASSERT_TRUE(hub.open(&why)) << why;
  Serving serving(hub);
  shub_monitor* m = shub_monitor_open(nullptr, 0);
  ASSERT_NE(m, nullptr) << std::strerror(errno);
  ASSERT_TRUE(testing_support::waitUntil([&] { return hub.subscribed() == 1; }));
  const uint8_t byte = 9;
  hub.delivered(7, 5, &byte, 1);
  shub_frame frame;
  ASSERT_EQ(shub_monitor_next(m, 5000, &frame), 1);
  EXPECT_EQ(frame.data[0], 9);
  shub_monitor_close(m);
}

// Out of descriptors the hub cannot take a connection; it must wait for a
// monitor to leave instead of turning round on the waiting one.
TEST(MonitorHub, OutOfDescriptorsItRestsUntilAMonitorLeaves) {
  testing_support::DeviceSandbox sandbox;
  MonitorHub hub;
  hub.route(tableOf({2}));
  std::string why;
  ASSERT_TRUE(hub.open(&why)) << why;
  Serving serving(hub);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Two monitors take two descriptors each; the third's own socket takes the
  // fifth and last: the limit lies just above the fifth free number.
  int limit = 0;
  for (int free = 0; free < 5; ++limit) free += fcntl(limit, F_GETFD) < 0;
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(limit);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  shub_monitor* first = shub_monitor_open(nullptr, 0);
  shub_monitor* second = shub_monitor_open(nullptr, 0);
  const uint64_t turnsBefore = serving.turns.load();
  shub_monitor* third = shub_monitor_open(nullptr, 0);
  const int error = errno;
  const uint64_t turns = serving.turns.load() - turnsBefore;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(third, nullptr);
  EXPECT_EQ(error, ETIMEDOUT);
  EXPECT_LT(turns, 1000u) << "the serving loop spun on a connection it could not take";
  shub_monitor_close(first);
  shub_monitor* again = shub_monitor_open(nullptr, 0);
  EXPECT_NE(again, nullptr) << "a monitor that left must let the next one in";
  for (shub_monitor* m : {second, again}) shub_monitor_close(m);
}

}  // namespace
