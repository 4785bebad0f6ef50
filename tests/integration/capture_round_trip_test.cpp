// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Record, then replay: a scripted session on a real daemon (noise, frames of
// three channels cut across writes, a hang-up in the middle of a text line)
// is recorded from its tap by crtctl record, replayed by crtctl replay --run
// through a throw-away daemon, and must give the frames the live daemon
// delivered (its -v lines), in the same order. And a plain replay into the
// link of a running daemon's COM7 feeds that daemon and puts the link back.
// And a recording accounts for every byte the line carried, also those that
// went by while the recorder was stopped; and readers of truncated objects
// end with a message.
#include <gtest/gtest.h>

#include <serialhub/channel.h>

#include <signal.h>

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "client/capture_tap.h"
#include "platform/client_objects.h"
#include "platform/process.h"
#include "router/tap_ring.h"
#include "tests/support/pty.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

using namespace shub::router;

namespace {

using testing_support::readHostFile;
using testing_support::waitUntil;

constexpr auto kDeadline = std::chrono::seconds(30);

bool send(const testing_support::PtyPair& peer, const std::vector<uint8_t>& bytes) {
  return write(peer.master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// The frames the daemon said it delivered, as replay prints them.
std::string deliveredFrames(const std::string& log) {
  std::istringstream lines(log);
  std::string frames;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("serialhub: CRT")) frames += line.substr(11) + "\n";
  }
  return frames;
}

// Bytes in the read lines of a capture so far.
size_t recordedBytes(const std::string& capture) {
  std::istringstream lines(capture);
  size_t count = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string word;
    if (line.starts_with("#") || !(words >> word)) continue;
    while (words >> word) count += word.size() == 2 && std::isxdigit(word[0]) && std::isxdigit(word[1]) ? 1 : 0;
  }
  return count;
}

// Bytes a capture's "# missed N bytes" notes count.
size_t missedBytes(const std::string& capture) {
  std::istringstream lines(capture);
  size_t count = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("# missed ")) count += std::stoul(line.substr(9));
  }
  return count;
}

uint64_t portOpens() {
  shub_status status;
  return shub_stats(&status) == 0 ? status.port_opens : 0;
}

// Runs a child to its end; its exit status, or -1 after the deadline.
int finish(int pid) {
  int status = -1;
  if (!waitUntil([&] { return shub::os::childEnded(pid, status); }, kDeadline)) return shub::os::stopChild(pid, 1000), -1;
  return status;
}

TEST(CaptureRoundTrip, ARecordedSessionReplaysToTheFramesTheDaemonDelivered) {
  testing_support::DeviceSandbox sandbox;
  auto peer = std::make_unique<testing_support::PtyPair>();
  ASSERT_TRUE(peer->ok() && peer->linkAs(sandbox.root() + "/dev/COM7"));
  testing_support::DaemonProcess daemon(sandbox);
  daemon.writeRoutes(readHostFile(SERIALHUB_SOURCE_DIR "/tests/replay/ctl_rt.st"));
  daemon.addArgument("-v");
  ASSERT_TRUE(daemon.startReady());

  const std::string crtctl = testing_support::builtProgram("client/crtctl");
  const std::string capture = sandbox.base() + "/session.cap";
  const std::string recorderLog = sandbox.base() + "/record.log";
  const int recorder = shub::os::startChild({crtctl, "record", capture}, recorderLog);
  ASSERT_GT(recorder, 0);
  ASSERT_TRUE(waitUntil([&] { return readHostFile(recorderLog).find("recording") != std::string::npos; }, kDeadline));

  ASSERT_TRUE(send(*peer, {0x00, 0x13, 0xfe, 0x41, 0x10}));
  ASSERT_TRUE(send(*peer, {0x00, 0x20, 0x00, 0xaa, 0x33, 0x68}));
  ASSERT_TRUE(send(*peer, {0x69, 0x0d, 0x0a, 0xaa, 0x44, 0x01, 0x00, 0xbb, 0x01, 0x07}));
  ASSERT_TRUE(send(*peer, {0x0d, 0x0a, 0xaa, 0x33, 0x75}));
  // The daemon must have read everything before the line goes.
  ASSERT_TRUE(waitUntil([&] { return recordedBytes(readHostFile(capture)) == 26; }, kDeadline));
  const uint64_t opens = portOpens();
  peer = std::make_unique<testing_support::PtyPair>();  // the old one hangs up as it goes
  ASSERT_TRUE(peer->ok() && peer->linkAs(sandbox.root() + "/dev/COM7"));
  ASSERT_TRUE(waitUntil([&] { return portOpens() > opens; }, kDeadline));
  ASSERT_TRUE(send(*peer, {0x70, 0x0d, 0x0a, 0xbb, 0x01, 0x01, 0x02, 0x03, 0x04, 0xfe, 0x42, 0x10, 0x00, 0x20, 0x00}));
  ASSERT_TRUE(waitUntil([&] { return recordedBytes(readHostFile(capture)) == 41; }, kDeadline));
  EXPECT_EQ(shub::os::stopChild(recorder, 10000), 0) << readHostFile(recorderLog);

  const std::string live = deliveredFrames(daemon.stderrText());
  EXPECT_EQ(live,
            "CRT1: fe 41 10 00 20 00\nCRT2: aa 33 68 69 0d 0a\nCRT4: aa 44 01 00\nCRT5: bb 01 07 0d 0a\n"
            "CRT2: aa 33 75 70 0d 0a\nCRT5: bb 01 01 02 03\nCRT1: fe 42 10 00 20 00\n");
  const std::string recorded = readHostFile(capture);
  EXPECT_TRUE(recorded.starts_with("# serialhub capture 1\n"));
  EXPECT_NE(recorded.find(" hangup\n"), std::string::npos) << recorded;

  const std::string replayLog = sandbox.base() + "/replay.log";
  const int replay = shub::os::startChild({crtctl, "replay", "--run", capture, "--routes", daemon.folder() + "/ctl_rt.st",
                                     "--daemon", testing_support::builtProgram("daemon/serialhub")},
                                    replayLog);
  ASSERT_GT(replay, 0);
  EXPECT_EQ(finish(replay), 0);
  EXPECT_EQ(readHostFile(replayLog), live) << recorded;
}

TEST(CaptureRecord, EveryByteTheLineCarriedIsRecordedOrNotedAsMissedAfterTheRecorderWasStopped) {
  testing_support::DeviceSandbox sandbox;
  testing_support::PtyPair peer;
  ASSERT_TRUE(peer.ok() && peer.linkAs(sandbox.root() + "/dev/COM7"));
  testing_support::DaemonProcess daemon(sandbox);
  daemon.writeRoutes(readHostFile(SERIALHUB_SOURCE_DIR "/tests/replay/ctl_rt.st"));
  ASSERT_TRUE(daemon.startReady());
  shub::os::Block tap;
  std::string problem;
  ASSERT_TRUE(shub::client::openTap(tap, &problem)) << problem;
  const TapReader line(tap.data());
  const uint64_t start = line.lineBytes();

  const std::string capture = sandbox.base() + "/session.cap";
  const std::string recorderLog = sandbox.base() + "/record.log";
  const int recorder = shub::os::startChild({testing_support::builtProgram("client/crtctl"), "record", capture}, recorderLog);
  ASSERT_GT(recorder, 0);
  ASSERT_TRUE(waitUntil([&] { return readHostFile(recorderLog).find("recording") != std::string::npos; }, kDeadline));
  ASSERT_TRUE(send(peer, std::vector<uint8_t>(10, 0)));
  ASSERT_TRUE(waitUntil([&] { return recordedBytes(readHostFile(capture)) == 10; }, kDeadline));
  // Four rings' worth go by while the recorder is stopped, and nothing after.
  ASSERT_EQ(kill(recorder, SIGSTOP), 0);
  constexpr size_t kStretch = 4 * SHUB_TAP_RING_SIZE;
  for (size_t sent = 0; sent < kStretch; sent += 4096) ASSERT_TRUE(send(peer, std::vector<uint8_t>(4096, 0)));
  ASSERT_TRUE(waitUntil([&] { return line.lineBytes() - start == 10 + kStretch; }, kDeadline));
  ASSERT_EQ(kill(recorder, SIGCONT), 0);
  EXPECT_EQ(shub::os::stopChild(recorder, 10000), 0) << readHostFile(recorderLog);
  tap = {};

  const std::string recorded = readHostFile(capture);
  EXPECT_GT(missedBytes(recorded), 0u);
  EXPECT_EQ(recordedBytes(recorded) + missedBytes(recorded), 10 + kStretch) << readHostFile(recorderLog);
}

// A recorder ends with a message, not of SIGBUS, when another process
// truncates the objects it reads under it.
TEST(CaptureRecord, ATapOrStatusTruncatedUnderItsReadersEndsThemWithAMessage) {
  testing_support::DeviceSandbox sandbox;
  testing_support::PtyPair peer;
  ASSERT_TRUE(peer.ok() && peer.linkAs(sandbox.root() + "/dev/COM7"));
  testing_support::DaemonProcess daemon(sandbox);
  daemon.writeRoutes("3,aa 55,,0-0,6,fixed\n");
  ASSERT_TRUE(daemon.startReady());
  const std::string crtctl = testing_support::builtProgram("client/crtctl");
  const std::string recordLog = sandbox.base() + "/record.log";
  const int recorder = shub::os::startChild({crtctl, "record", sandbox.base() + "/session.cap"}, recordLog);
  ASSERT_TRUE(waitUntil([&] { return readHostFile(recordLog).find("recording") != std::string::npos; }, kDeadline));
  for (const char* name : {"CRT:TAP", "CRT:STATUS"}) {
    ASSERT_EQ(truncate((sandbox.objects() + "/" + name).c_str(), 0), 0);
  }
  ASSERT_TRUE(send(peer, {0xAA, 0x55, 1, 2, 3, 4}));
  EXPECT_EQ(finish(recorder), 1) << readHostFile(recordLog);
  EXPECT_NE(readHostFile(recordLog).find("truncated by another process"), std::string::npos) << readHostFile(recordLog);
}

TEST(CaptureReplay, APlainHexDumpFeedsTheRunningDaemonThroughItsLinkWhichIsPutBack) {
  testing_support::DeviceSandbox sandbox;
  const std::string link = sandbox.root() + "/dev/COM7";
  const std::string before = sandbox.writeFile("dev/not-a-line", "");
  ASSERT_EQ(symlink(before.c_str(), link.c_str()), 0);
  testing_support::DaemonProcess daemon(sandbox);
  daemon.writeRoutes(readHostFile(SERIALHUB_SOURCE_DIR "/tests/replay/ctl_rt.st"));
  daemon.addArgument("-v");
  ASSERT_TRUE(daemon.startReady());
  const std::string dump = sandbox.writeFile("peer.hex", "# as xxd -p writes\nfe41e803\nd007aa4401\n00\n");
  const std::string log = sandbox.base() + "/replay.log";
  const int replay = shub::os::startChild({testing_support::builtProgram("client/crtctl"), "replay", dump}, log);
  ASSERT_GT(replay, 0);
  EXPECT_EQ(finish(replay), 0) << readHostFile(log);
  EXPECT_TRUE(waitUntil([&] { return deliveredFrames(daemon.stderrText()).size() == 42; }, kDeadline));
  EXPECT_EQ(deliveredFrames(daemon.stderrText()), "CRT1: fe 41 e8 03 d0 07\nCRT4: aa 44 01 00\n");
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), before);
}

}  // namespace
