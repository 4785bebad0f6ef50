// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// SIGHUP against the real serialhub: the new route table takes over between
// frames (a frame being collected is dropped and counted), a new channel gets
// its objects at once, a removed one gets no more frames, sequence numbers
// and counters go on, and a file refused or unreadable keeps the table in use.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <serialhub/channel.h>

#include "platform/client_objects.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/pty.h"
#include "tests/support/wait.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* kFirstRoutes = "2,aa 52,,0-0,6,two\n3,aa 53,,0-0,6,three\n";

Bytes frameOf(int channel, uint8_t k) { return {0xAA, static_cast<uint8_t>(0x50 + channel), k, 0, 0, 0}; }

class Reload : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
    daemon.writeRoutes(kFirstRoutes);
    ASSERT_TRUE(daemon.startReady());
  }

  // SIGHUP, then the reload's notices.
  void reload() {
    ASSERT_EQ(kill(daemon.pid(), SIGHUP), 0);
    EXPECT_EQ(daemon.nextNotice().rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u);
    EXPECT_EQ(daemon.nextNotice(), "READY=1");
  }

  shub_monitor* open(std::vector<int> channels) {
    shub_monitor* m = shub_monitor_open(channels.data(), channels.size());
    EXPECT_NE(m, nullptr) << std::strerror(errno);
    return m;
  }

  testing_support::DeviceSandbox sandbox;
  testing_support::PtyPair pty;
  testing_support::DaemonProcess daemon{sandbox};
};

// The frames a monitor gets, as (channel, k) pairs, until it has `count`.
std::vector<std::pair<int, int>> next(shub_monitor* m, size_t count) {
  std::vector<std::pair<int, int>> got;
  shub_frame frame;
  while (got.size() < count && shub_monitor_next(m, 10000, &frame) == 1) got.emplace_back(frame.channel, frame.data[2]);
  return got;
}

TEST_F(Reload, TheNewTableTakesOverBetweenFrames) {
  shub_monitor* every = open({});
  shub_monitor* two = open({2});
  pty.send(frameOf(3, 1));
  ASSERT_EQ(next(every, 1), (std::vector<std::pair<int, int>>{{3, 1}})) << daemon.stderrText();
  pty.send({0xAA, 0x53, 9});  // a frame of channel 3 begun, left unfinished
  // Read by the daemon before the reload: its tap counts the line's bytes.
  const shub::os::Block tap = shub::os::Block::open(SHUB_TAP_NAME, SHUB_TAP_SIZE);
  ASSERT_TRUE(tap.valid());
  ASSERT_TRUE(testing_support::waitUntil([&] { return shub::os::wordAt<uint64_t>(tap.data(), SHUB_TAP_LINE_OFFSET).load() == 9; }));
  daemon.writeRoutes("3,aa 53,,0-0,6,three\n5,aa 55,,0-0,6,five\n");
  reload();
  EXPECT_TRUE(std::filesystem::exists(sandbox.objects() + "/CRT5")) << "a new channel's block comes with the reload";
  EXPECT_TRUE(std::filesystem::exists(sandbox.objects() + "/CRT5:EVENT"));

  pty.send({0, 0, 0});  // the unfinished frame's end: noise to the new table
  for (int channel : {2, 5, 3}) pty.send(frameOf(channel, 2));
  ASSERT_EQ(next(every, 2), (std::vector<std::pair<int, int>>{{5, 2}, {3, 2}})) << daemon.stderrText();
  shub_frame frame;
  EXPECT_EQ(shub_monitor_next(two, 0, &frame), 0) << "a removed channel gets no more frames";

  shub_status status{};
  ASSERT_EQ(shub_stats(&status), 0);
  ASSERT_EQ(status.entry_count, 2u);
  EXPECT_EQ(status.entries[0].channel, 3);
  EXPECT_EQ(status.entries[0].frames, 2u) << "channel 3's counters go on in its new entry";
  EXPECT_EQ(status.entries[1].channel, 5);
  EXPECT_EQ(status.entries[1].frames, 1u);
  const shub::os::Block object = shub::os::Block::open(SHUB_STATUS_NAME, SHUB_STATUS_SIZE);
  ASSERT_TRUE(object.valid());
  EXPECT_EQ(shub::os::wordAt<uint64_t>(object.data(), SHUB_STATUS_RELOADS_OFFSET).load(), 1u);
  EXPECT_EQ(shub::os::wordAt<uint64_t>(object.data(), SHUB_STATUS_RELOAD_CUT_OFFSET).load(), 1u);
  shub_monitor_close(every);
  shub_monitor_close(two);
  EXPECT_EQ(daemon.stop(), 0);
}

TEST_F(Reload, ARefusedOrUnreadableFileKeepsTheTableInUse) {
  shub_monitor* two = open({2});
  daemon.writeRoutes("2,aa 52,,0-0,6,two\nnot a route\n");
  reload();
  EXPECT_NE(daemon.stderrText().find("route file not reloaded: it has refused lines; the 2 routes in use are kept"),
            std::string::npos) << daemon.stderrText();
  std::filesystem::remove(daemon.folder() + "/ctl_rt.st");
  reload();
  EXPECT_NE(daemon.stderrText().find("route file not reloaded: it cannot be read"), std::string::npos);
  pty.send(frameOf(2, 4));
  EXPECT_EQ(next(two, 1), (std::vector<std::pair<int, int>>{{2, 4}}));
  shub_monitor_close(two);
  ASSERT_EQ(kill(daemon.pid(), SIGINT), 0);
  EXPECT_EQ(daemon.waitExit(std::chrono::seconds(10)), 0);
}

}  // namespace
