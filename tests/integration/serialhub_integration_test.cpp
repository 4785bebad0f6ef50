// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The real serialhub, copied beside a route file in a sandboxed device with a
// pty linked as dev/COM7: frames from the peer reach the named blocks and
// wake their events, the write block reaches the peer, the daemon announces
// readiness, idles without a port, survives a hang-up, and stops cleanly, also
// reloads on a SIGHUP that arrives in its first milliseconds. How the length word cuts
// a send is serial_link_test's; stopping on SIGTERM is checked wherever a test
// stops its daemon.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "platform/client_objects.h"
#include "router/channel_block.h"
#include "tests/support/pty.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/test_channel.h"
#include "tests/support/wait.h"

using namespace shub::router;

using testing_support::PtyPair;
using testing_support::waitUntil;
using namespace std::chrono_literals;

namespace {

// A client of channel `number`: the daemon made its event.
struct Channel : testing_support::TestChannel {
  explicit Channel(int number) : TestChannel("CRT" + std::to_string(number), Event::open) {}
};

// Channels 1 and 4 are consumed inside the daemon (touch, control), so the
// test listens on channels of its own.
constexpr const char* kRoutes =
    "3,aa 55,,0-0,6,fixed\n"
    "2,aa 33,,1-0,0,text\n";

// A client's send: data, the length word, then the event.
void clientWrite(uint32_t length, const std::vector<uint8_t>& data) {
  testing_support::TestChannel write("CRT:WRITE", testing_support::TestChannel::Event::open);
  ASSERT_TRUE(write.event.valid());
  write.put(data, length);
  write.event.signal();
}

class SerialhubTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.ok()); }
  void linkPty(PtyPair& pair) { ASSERT_TRUE(pair.linkAs(sandbox.root() + "/dev/COM7")); }
  void startReady(const std::string& routes = kRoutes) {
    daemon.writeRoutes(routes);
    ASSERT_TRUE(daemon.start());
    ASSERT_EQ(daemon.nextNotice(), "READY=1");
  }

  testing_support::DeviceSandbox sandbox;
  PtyPair pty;
  testing_support::DaemonProcess daemon{sandbox};
};

}  // namespace

TEST_F(SerialhubTest, FramesFromThePeerReachTheBlocksAndWakeTheirEvents) {
  linkPty(pty);
  startReady();
  Channel touch(3), text(2);
  ASSERT_TRUE(touch.event.valid());
  ASSERT_TRUE(text.event.valid());

  pty.send({0x00, 0x13, 0xAA, 0x55, 0x01, 0x02, 0x03, 0x04});  // noise, then a touch frame
  EXPECT_EQ(touch.nextFrame(), (std::vector<uint8_t>{0xAA, 0x55, 0x01, 0x02, 0x03, 0x04}));

  pty.send({0xAA, 0x33, 'h', 'i'});  // a text frame split across writes
  pty.send({'\r', '\n', 0x7F});
  EXPECT_EQ(text.nextFrame(), (std::vector<uint8_t>{0xAA, 0x33, 'h', 'i', '\r', '\n'}));
}

TEST_F(SerialhubTest, AHangUpRightAfterExecWaitsForStartUpThenReloads) {
  linkPty(pty);
  daemon.writeRoutes(kRoutes);
  ASSERT_TRUE(daemon.start());
  // The earliest moment a signal can be expected to survive; start-up (with
  // its 150 ms of pauses before READY=1) is still ahead.
  ASSERT_TRUE(waitUntil([&] { return daemon.blocksStopSignals(); }, 5s));
  ASSERT_EQ(kill(daemon.pid(), SIGHUP), 0);
  EXPECT_EQ(daemon.nextNotice(), "READY=1");
  EXPECT_EQ(daemon.nextNotice(3s).rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u);
  EXPECT_EQ(daemon.nextNotice(3s), "READY=1");
  EXPECT_EQ(daemon.stop(), 0);
}

TEST_F(SerialhubTest, WithoutRouteFileEndsAtOnceWithoutTouchingThePort) {
  PtyPair cooked(false);
  ASSERT_TRUE(cooked.ok());
  linkPty(cooked);
  ASSERT_TRUE(daemon.start());
  EXPECT_EQ(daemon.waitExit(3s), 78);
  EXPECT_EQ(daemon.nextNotice(0ms), "");
  // The line was never opened: it keeps its cooked defaults and no write block exists.
  const int slave = open(cooked.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  termios line{};
  ASSERT_EQ(tcgetattr(slave, &line), 0);
  close(slave);
  EXPECT_NE(line.c_lflag & ICANON, 0u);
  EXPECT_FALSE(std::filesystem::exists(sandbox.objects() + "/CRT:WRITE"));
}

TEST_F(SerialhubTest, WithAnEmptyRouteFileRunsAndStillSends) {
  linkPty(pty);
  startReady("");
  pty.send({0xAA, 0x55, 1, 2, 3, 4});
  clientWrite(2, {0x0D, 0x0A});
  EXPECT_EQ(pty.receive(2), (std::vector<uint8_t>{0x0D, 0x0A}));
  EXPECT_FALSE(std::filesystem::exists(sandbox.objects() + "/CRT3"));
  EXPECT_TRUE(daemon.alive());
}

TEST_F(SerialhubTest, WithoutAPortItIdlesThenFindsOneThatAppears) {
  startReady();
  const long before = daemon.cpuTicks();
  waitUntil([] { return false; }, 2s);  // a window to measure idleness over
  const long used = daemon.cpuTicks() - before;
  EXPECT_LE(used, 5) << "ticks of CPU in 2 s without a port";

  linkPty(pty);
  Channel touch(3);
  // The node is looked for at least once a second; allow for a loaded machine.
  EXPECT_TRUE(pty.resendUntil({0xAA, 0x55, 9, 9, 9, 9}, [&] { return !touch.nextFrame(500).empty(); }))
      << daemon.stderrText();
}

TEST_F(SerialhubTest, IdleOrAfterAHangUpItDoesNotSpinAndFramesFlowOnANewPty) {
  linkPty(pty);
  startReady();
  Channel touch(3);
  pty.send({0xAA, 0x55, 1, 1, 1, 1});
  ASSERT_FALSE(touch.nextFrame().empty());
  // Idle with the line open: every thread waits, none polls (on 32-bit ARM a
  // time-out handed to the wrong futex call ends each wait at once).
  long before = daemon.cpuTicks();
  waitUntil([] { return false; }, 1s);
  EXPECT_LE(daemon.cpuTicks() - before, 5) << "ticks of CPU in 1 s idle";

  pty.closeMaster();  // the peer goes away
  before = daemon.cpuTicks();
  waitUntil([] { return false; }, 2s);
  EXPECT_LE(daemon.cpuTicks() - before, 5) << "ticks of CPU in 2 s after the hang-up";
  EXPECT_TRUE(daemon.alive());

  PtyPair replugged;
  ASSERT_TRUE(replugged.ok());
  linkPty(replugged);
  const std::vector<uint8_t> frame = {0xAA, 0x55, 2, 2, 2, 2};
  EXPECT_TRUE(replugged.resendUntil(frame, [&] { return touch.nextFrame(500) == frame; }));
  clientWrite(2, {0x51, 0x52});
  EXPECT_EQ(replugged.receive(2), (std::vector<uint8_t>{0x51, 0x52}));
}
