// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl as another process sees the channels: this test plays the daemon
// (channel blocks made from the sample route file, the write block) and runs
// the built tool in a private object folder. Output goes to files; the test
// waits on the files and on the pid, with deadlines.
#include <gtest/gtest.h>

#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <serialhub/channel.h>

#include "platform/named_objects.h"
#include "router/channel_block.h"
#include "router/channel_blocks.h"
#include "router/route_table.h"
#include "router/status_publisher.h"
#include "tests/support/child_process.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/pty.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

using namespace shub::router;

namespace {

using testing_support::lineCount;
using testing_support::readHostFile;
using testing_support::waitUntil;

constexpr auto kDeadline = std::chrono::seconds(10);

::testing::AssertionResult contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" not in:\n" << text;
}

::testing::AssertionResult endsWith(const std::string& text, const std::string& tail) {
  if (text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "\"" << text << "\" does not end with \"" << tail << "\"";
}

// A crtctl process whose stdout and stderr go to files in the sandbox.
class Tool {
 public:
  Tool(const testing_support::DeviceSandbox& sandbox, std::vector<std::string> args, int serial)
      : outPath_(sandbox.base() + "/out" + std::to_string(serial)),
        errPath_(sandbox.base() + "/err" + std::to_string(serial)),
        process_(withProgram(std::move(args)), outPath_, errPath_) {}

  // The exit status, or -1 when the process did not end in time.
  int finish() { return process_.finish(kDeadline); }
  std::string out() const { return readHostFile(outPath_); }
  std::string err() const { return readHostFile(errPath_); }
  pid_t pid() const { return process_.pid(); }

 private:
  static std::vector<std::string> withProgram(std::vector<std::string> args) {
    args.insert(args.begin(), testing_support::builtProgram("client/crtctl"));
    return args;
  }
  std::string outPath_, errPath_;
  testing_support::ChildProcess process_;
};

class Crtctl : public ::testing::Test {
 protected:
  void SetUp() override {
    FILE* sink = std::tmpfile();
    const std::string routeFile = std::string(SERIALHUB_SOURCE_DIR) + "/daemon/ctl_rt.st";
    ASSERT_TRUE(loadRouteTableFrom(table, routeFile.c_str(), sink));
    std::fclose(sink);
    ASSERT_EQ(table.count, 3u);
    blocks = ChannelSet(table);
    for (uint32_t i = 0; i < table.count; ++i) ASSERT_NE(blocks.block(i), nullptr);
  }

  Tool run(const std::vector<std::string>& args) { return Tool(sandbox, args, ++serial); }

  // What the frame assembler does with a frame: data, length, event.
  void deliver(uint32_t entry, const std::vector<uint8_t>& frame, uint32_t lengthWord) {
    fillBlockBytes(blocks.block(entry), SHUB_BLOCK_DATA_OFFSET, 0, SHUB_BLOCK_DATA_SIZE);
    storeBlockLength(blocks.block(entry), lengthWord);
    storeBlockBytes(blocks.block(entry), SHUB_BLOCK_DATA_OFFSET, frame.data(), static_cast<uint32_t>(frame.size()));
    blocks.signal(entry);
  }

  // Whether a signal of the entry's event waited to be taken (and takes it).
  bool pending(uint32_t entry) {
    return shub::os::Event::open("CRT" + std::to_string(table.entries[entry].channel) + ":EVENT")
               .wait(std::chrono::milliseconds(0)) == shub::os::WaitResult::signalled;
  }

  testing_support::DeviceSandbox sandbox;
  RouteTable table;
  ChannelSet blocks;
  int serial = 0;
};

TEST_F(Crtctl, ListNamesEveryObjectAndSkipsDotFiles) {
  testing_support::writeHostFile(sandbox.objects() + "/.CRT9.tmp", "");
  const shub::os::InstanceLock mutex("GUID_SLEEP_20130830");
  ASSERT_TRUE(mutex.valid());
  blocks.signal(2);

  Tool list = run({"list"});
  ASSERT_EQ(list.finish(), 0) << list.err();
  const std::string out = list.out();
  EXPECT_TRUE(contains(out, "CRT1                     block of 288 bytes\n"));
  EXPECT_TRUE(contains(out, "CRT1:EVENT               event (not signalled)\n"));
  EXPECT_TRUE(contains(out, "CRT2                     block of 288 bytes\n"));
  EXPECT_TRUE(contains(out, "CRT4:EVENT               event (signalled)\n"));
  EXPECT_TRUE(contains(out, "GUID_SLEEP_20130830      mutex\n"));
  EXPECT_FALSE(contains(out, ".CRT9"));
  EXPECT_TRUE(pending(2)) << "listing consumes nothing";
}

TEST_F(Crtctl, ShowSeesThe288ByteLayout) {
  deliver(0, {0xAA, 0x55, 0x41, 0x10, 0x00, 0x20}, 6);
  Tool show = run({"show", "1"});
  ASSERT_EQ(show.finish(), 0) << show.err();
  const std::string out = show.out();
  EXPECT_TRUE(contains(out, "block     CRT1, 288 bytes\n"));
  EXPECT_TRUE(contains(out, "length    6\n"));
  EXPECT_TRUE(contains(out, "reserved  0x00000000\n"));
  EXPECT_TRUE(contains(out, "data      aa 55 41 10 00 20\n"));
  EXPECT_TRUE(contains(out, "lock      unowned, word 0, recursion 0, waiters 0, initialised\n"));
}

TEST_F(Crtctl, AWaitTimesOutWithStatusThree) {
  Tool wait = run({"wait", "CRT2:EVENT", "--timeout", "200"});
  EXPECT_EQ(wait.finish(), 3);
}

TEST_F(Crtctl, SetAndWaitUseAnyNamedEvent) {
  Tool set = run({"set", "CRT4:EVENT"});
  ASSERT_EQ(set.finish(), 0) << set.err();
  Tool wait = run({"wait", "CRT4:EVENT", "--timeout", "10000"});
  ASSERT_EQ(wait.finish(), 0) << wait.err();
  EXPECT_EQ(wait.out(), "CRT4:EVENT signalled\n");
  EXPECT_FALSE(pending(2)) << "the wait consumed it";
}

// The test holds the status object's lock, as a running daemon does.
TEST_F(Crtctl, WritePutsLengthAndBytesInTheWriteBlockAndSetsItsEvent) {
  shub::os::StatusObject status;
  std::string problem;
  ASSERT_TRUE(status.open(&problem)) << problem;
  shub::os::Block block = shub::os::openOrCreateBlock("CRT:WRITE", SHUB_BLOCK_SIZE);
  uint8_t* address = block.data();
  ASSERT_NE(address, nullptr);
  shub::os::Event event = shub::os::Event::create("CRT:WRITE:EVENT");
  ASSERT_TRUE(event.valid());
  fillBlockBytes(address, SHUB_BLOCK_DATA_OFFSET, 0xFF, SHUB_BLOCK_DATA_SIZE);

  // The tool returns once the daemon wrote the bytes to the port, which it
  // shows by writing the outcome into the length word: 0, they went out.
  const auto answer = [&](uint32_t outcome) {
    storeBlockLength(address, outcome);
    syscall(SYS_futex, address, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
  };
  Tool write = run({"write", "aa", "44", "0300"});
  ASSERT_EQ(event.wait(std::chrono::milliseconds(10000)), shub::os::WaitResult::signalled) << write.err();
  EXPECT_EQ(loadBlockLength(address), 4u);
  uint8_t data[5];
  loadBlockBytes(address, SHUB_BLOCK_DATA_OFFSET, data, sizeof data);
  EXPECT_EQ(std::vector<uint8_t>(data, data + 5), (std::vector<uint8_t>{0xAA, 0x44, 0x03, 0x00, 0xFF}));
  answer(0);
  ASSERT_EQ(write.finish(), 0) << write.err();

  Tool refused = run({"write", "bb"});
  ASSERT_EQ(event.wait(std::chrono::milliseconds(10000)), shub::os::WaitResult::signalled) << refused.err();
  answer(SHUB_WRITE_NOT_SENT);
  EXPECT_EQ(refused.finish(), 1);
  EXPECT_TRUE(contains(refused.err(), "the line did not take the bytes")) << refused.err();
  EXPECT_EQ(loadBlockLength(address), 0u) << "the block is free for the next writer";

  status = {};
  Tool late = run({"write", "aa"});
  EXPECT_EQ(late.finish(), 1);
  EXPECT_TRUE(contains(late.err(), "serialhub is not running")) << "the lock went with its holder";
  EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout);

}

// A daemon that left its status object: stats and top --once show its last
// figures and fail; metrics says only that it is down.
TEST_F(Crtctl, WithoutADaemonStatsAndTopFailAndMetricsSayDown) {
  {
    shub::os::StatusObject status;
    std::string problem;
    ASSERT_TRUE(status.open(&problem)) << problem;
    const int32_t channels[] = {table.entries[0].channel, table.entries[1].channel, table.entries[2].channel};
    StatusPublisher(status.data()).initialise(channels, 3);
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"stats"}, {"stats", "--json"}, {"top", "--once"}}) {
    Tool tool = run(args);
    EXPECT_EQ(tool.finish(), 1) << args[0];
    EXPECT_TRUE(contains(tool.err(), "serialhub is not running")) << args[0];
  }
  Tool json = run({"stats", "--json"});
  json.finish();
  EXPECT_TRUE(contains(json.out(), "{\"daemon_alive\":false,")) << json.out();
  Tool metrics = run({"metrics"});
  EXPECT_EQ(metrics.finish(), 0) << metrics.err();
  EXPECT_EQ(metrics.out(), "# HELP serialhub_up 1 while a serialhub daemon runs.\n# TYPE serialhub_up gauge\nserialhub_up 0\n");
}

TEST_F(Crtctl, MissingObjectsAndBadArgumentsFailWithAMessage) {
  shub::os::Block lonely = shub::os::openOrCreateBlock("CRT5", SHUB_BLOCK_SIZE);  // no event beside it
  testing_support::writeHostFile(sandbox.objects() + "/CRT6", "not a block");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const std::string tooMany(2 * (SHUB_BLOCK_DATA_SIZE + 1), 'a');
  const Case cases[] = {
      {{"watch", "9"}, 1, "no status object CRT:STATUS"},
      {{"show", "9"}, 1, "no block CRT9"},
      {{"show", "6"}, 1, "CRT6 is not a block of 288 bytes"},
      {{"write", "aa"}, 1, "no status object CRT:STATUS"},
      {{"set", "NOPE"}, 1, "no event NOPE"},
      {{"wait", "NOPE", "--timeout", "10"}, 1, "no event NOPE"},
      {{"watch", "one"}, 2, "the channel is a decimal number"},
      {{"watch", "1", "--count"}, 2, "--count needs a number"},
      {{"watch", "1", "--speed", "3"}, 2, "unknown option --speed"},
      {{"write", "zz"}, 2, "pairs of hex digits"},
      {{"write", "a"}, 2, "pairs of hex digits"},
      {{"write", tooMany}, 2, "pairs of hex digits"},
      {{"set"}, 2, "expected one event name"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{}, 2, "usage: crtctl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(no arguments)" : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    Tool tool = run(c.args);
    EXPECT_EQ(tool.finish(), c.status);
    EXPECT_TRUE(contains(tool.err(), c.message));
  }
  EXPECT_FALSE(std::filesystem::exists(sandbox.objects() + "/CRT9")) << "a client never creates a block";
}

TEST_F(Crtctl, AMissingObjectsDirectoryIsNeverCreated) {
  const std::string missing = sandbox.base() + "/no-daemon-yet";
  setenv("CE_OBJECTS", missing.c_str(), 1);  // the sandbox restores it
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"list"}, {"show", "1"}, {"write", "aa"}, {"set", "CRT1:EVENT"}, {"wait", "CRT1:EVENT"}}) {
    SCOPED_TRACE(args[0]);
    Tool tool = run(args);
    EXPECT_EQ(tool.finish(), 1);
    EXPECT_TRUE(contains(tool.err(), missing));
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(Crtctl, HelpDescribesEveryCommand) {
  Tool help = run({"--help"});
  ASSERT_EQ(help.finish(), 0);
  for (const char* command : {"list", "show <channel>", "watch [channel...]", "write <hex bytes...>",
                              "stats [--json]", "metrics", "set <event name>", "wait <event name>"}) {
    EXPECT_TRUE(contains(help.out(), std::string("  ") + command)) << command;
  }
}

// crtctl against the real serialhub over a pty, for what goes through the
// daemon's monitor socket.
class CrtctlOnADaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
    daemon.writeRoutes("2,aa 52,,0-0,4,two\n3,aa 53,,0-0,4,three\n5,aa 55,,0-0,4,five\n6,aa 56,,0-0,4,six\n");
    ASSERT_TRUE(daemon.startReady());
  }

  Tool run(const std::vector<std::string>& args) { return Tool(sandbox, args, ++serial); }
  std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> all;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      all.push_back(text.substr(at, end - at));
    }
    return all;
  }

  testing_support::DeviceSandbox sandbox;
  testing_support::PtyPair pty;
  testing_support::DaemonProcess daemon{sandbox};
  int serial = 0;
};

// One process, one thread, every frame of the three channels once, in the
// order delivered, with the time of its read, channel, sequence number and bytes.
TEST_F(CrtctlOnADaemon, WatchFollowsSeveralChannelsInOneThread) {
  Tool watch = run({"watch", "2", "3", "5"});
  ASSERT_TRUE(waitUntil([&] { return contains(watch.err(), "watching CRT2, CRT3, CRT5"); }, kDeadline)) << watch.err();
  EXPECT_EQ(testing_support::entriesIn("/proc/" + std::to_string(watch.pid()) + "/task"), 1u);
  pty.send({0xAA, 0x52, 0x01, 0x00, 0xAA, 0x56, 0x09, 0x09, 0xAA, 0x53, 0x02, 0x00, 0xAA, 0x55, 0x03, 0x00,
            0xAA, 0x52, 0x04, 0x00});
  ASSERT_TRUE(waitUntil([&] { return lineCount(watch.out()) == 4; }, kDeadline)) << watch.out() << watch.err();
  ASSERT_EQ(kill(watch.pid(), SIGTERM), 0);
  EXPECT_EQ(watch.finish(), 0) << watch.err();
  const std::vector<std::string> got = lines(watch.out());
  const char* expected[] = {"CRT2   seq 2          4  aa 52 01 00", "CRT3   seq 2          4  aa 53 02 00",
                            "CRT5   seq 2          4  aa 55 03 00", "CRT2   seq 3          4  aa 52 04 00"};
  ASSERT_EQ(got.size(), 4u) << watch.out();
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(std::regex_match(got[i], std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3}  (.*)")) &&
                endsWith(got[i], expected[i])) << got[i];
  }

  Tool stats = run({"stats"});
  ASSERT_EQ(stats.finish(), 0) << stats.err();
  EXPECT_TRUE(contains(stats.out(), "CRT2    frames 2          bytes 8            seq 3\n")) << stats.out();
  Tool late = run({"watch", "2", "--count", "1", "--timeout", "200"});
  EXPECT_EQ(late.finish(), 3);
  EXPECT_TRUE(contains(late.err(), "timed out after 0 of 1 frames"));
  Tool unrouted = run({"watch", "2", "9", "4"});
  EXPECT_EQ(unrouted.finish(), 1);
  EXPECT_TRUE(contains(unrouted.err(), "serialhub routes no CRT9, CRT4")) << unrouted.err();
}

// A daemon that goes is said once, its return once, and the frames delivered
// before the watch subscribed again are counted as missed.
TEST_F(CrtctlOnADaemon, WatchOutlivesARestartAndCountsTheFramesItMissed) {
  Tool watch = run({"watch", "3", "--count", "2", "--timeout", "30000"});
  ASSERT_TRUE(waitUntil([&] { return contains(watch.err(), "watching CRT3"); }, kDeadline)) << watch.err();
  pty.send({0xAA, 0x53, 0x01, 0x00});
  ASSERT_TRUE(waitUntil([&] { return lineCount(watch.out()) == 1; }, kDeadline)) << watch.err();

  // Held still, the watch cannot subscribe before the new daemon delivers a frame.
  ASSERT_EQ(kill(watch.pid(), SIGSTOP), 0);
  ASSERT_EQ(daemon.stop(), 0);
  ASSERT_TRUE(daemon.startReady());
  shub_status status{};
  ASSERT_TRUE(pty.resendUntil({0xAA, 0x53, 0x02, 0x00}, [&] {
    return waitUntil([&] { return shub_stats(&status) == 0 && status.entries[1].frames == 1; }, std::chrono::milliseconds(500));
  }));
  ASSERT_EQ(kill(watch.pid(), SIGCONT), 0);
  ASSERT_TRUE(waitUntil([&] { return contains(watch.err(), "serialhub is back"); }, kDeadline)) << watch.err();
  pty.send({0xAA, 0x53, 0x03, 0x00});
  ASSERT_EQ(watch.finish(), 0) << watch.err();
  EXPECT_EQ(testing_support::occurrences(watch.err(), "serialhub is gone"), 1u) << watch.err();
  EXPECT_EQ(testing_support::occurrences(watch.err(), "serialhub is back"), 1u) << watch.err();
  const std::vector<std::string> got = lines(watch.out());
  ASSERT_EQ(got.size(), 2u) << watch.out();
  EXPECT_TRUE(endsWith(got[1], "CRT3   seq 4          4  aa 53 03 00  (1 missed)")) << got[1];
}

}  // namespace
