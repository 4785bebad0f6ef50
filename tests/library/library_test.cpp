// libserialhub against the real serialhub in a sandboxed device with a pty as
// dev/COM7: two peekers and a consumer of one channel all see every frame in
// sequence, a peeker on the touch channel takes nothing from the daemon's
// touch injector, and shub_write reaches the port only while a daemon runs.
#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <serialhub/channel.h>

#include "tests/serial/pty.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using testing_support::waitUntil;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* kRoutes =
    "1,fe,,0-0,6,touch\n"
    "4,aa 44,,0-0,4,control\n"
    "3,aa 55,,0-0,6,fixed\n";

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
    for (const char* node : {"dev/pointer", "dev/BKL1"}) sandbox.writeFile(node, "");
    sandbox.writeFile("dev/screen", "800x480\n");
    sandbox.writeFile("dev/BAT1", "1\n");
    daemon.writeRoutes(kRoutes);
  }

  void send(const Bytes& bytes) const { pty.send(bytes); }
  size_t pointerLines() const { return testing_support::lineCount(sandbox.readFile("dev/pointer")); }

  testing_support::DeviceSandbox sandbox;
  testing_support::PtyPair pty;
  testing_support::DaemonProcess daemon{sandbox};
};

// What one reader of a channel saw: the frames' second payload byte (the
// frame number) and, for peekers, the sequence numbers.
struct Seen {
  std::vector<uint8_t> numbers;
  std::vector<uint64_t> seqs;
  std::atomic<size_t> count{0};
};

void peekFrames(shub_channel* ch, size_t frames, uint64_t seq, Seen& seen) {
  uint8_t frame[SHUB_BLOCK_DATA_SIZE];
  while (seen.numbers.size() < frames) {
    const int n = shub_channel_peek(ch, 10000, frame, sizeof frame, &seq);
    if (n <= 0) return;
    seen.numbers.push_back(frame[2]);
    seen.seqs.push_back(seq);
    seen.count.store(seen.numbers.size());
  }
}

void consumeFrames(shub_channel* ch, size_t frames, Seen& seen) {
  uint8_t frame[SHUB_BLOCK_DATA_SIZE];
  while (seen.numbers.size() < frames) {
    if (shub_channel_wait(ch, 10000, frame, sizeof frame) <= 0) return;
    seen.numbers.push_back(frame[2]);
    seen.count.store(seen.numbers.size());
  }
}

TEST_F(Library, PeekersAndConsumerEachSeeEveryFrameInSequence) {
  ASSERT_TRUE(daemon.startReady());
  constexpr size_t kFrames = 120;
  shub_channel* channels[3];
  for (shub_channel*& ch : channels) ASSERT_NE(ch = shub_channel_open(3), nullptr);
  // Peekers take their starting point before the first frame is sent.
  Seen seen[3];
  uint64_t baseline = 0;
  uint8_t scratch[8];
  ASSERT_EQ(shub_channel_peek(channels[0], 0, scratch, sizeof scratch, &baseline), 0);
  std::jthread readers[] = {std::jthread(peekFrames, channels[0], kFrames, baseline, std::ref(seen[0])),
                            std::jthread(peekFrames, channels[1], kFrames, baseline, std::ref(seen[1])),
                            std::jthread(consumeFrames, channels[2], kFrames, std::ref(seen[2]))};
  // At most 100 frames a second, like a touch panel; a frame also waits for
  // the previous one to reach all three, so a loaded machine drops none.
  auto next = std::chrono::steady_clock::now();
  for (size_t k = 0; k < kFrames; ++k) {
    std::this_thread::sleep_until(next);
    next += 10ms;
    send({0xAA, 0x55, static_cast<uint8_t>(k), 0, 0, 0});
    ASSERT_TRUE(waitUntil([&] {
      return seen[0].count.load() > k && seen[1].count.load() > k && seen[2].count.load() > k;
    })) << "frame " << k;
  }
  for (std::jthread& reader : readers) reader.join();
  for (const Seen& one : seen) {
    ASSERT_EQ(one.numbers.size(), kFrames);
    for (size_t k = 0; k < kFrames; ++k) EXPECT_EQ(one.numbers[k], static_cast<uint8_t>(k)) << k;
  }
  for (const Seen* peeker : {&seen[0], &seen[1]}) {
    for (size_t k = 1; k < kFrames; ++k) ASSERT_EQ(peeker->seqs[k], peeker->seqs[k - 1] + 1) << k;
  }
  shub_status stats;
  ASSERT_EQ(shub_stats(&stats), 0);
  EXPECT_EQ(stats.daemon_alive, 1u);
  EXPECT_EQ(stats.watchers, 2u);
  EXPECT_EQ(stats.port_opens, 1u);
  EXPECT_EQ(stats.power, SHUB_STATUS_POWER_MAINS);
  ASSERT_EQ(stats.entry_count, 3u);
  EXPECT_EQ(stats.entries[2].channel, 3);
  EXPECT_EQ(stats.entries[2].frames, kFrames);
  EXPECT_EQ(stats.entries[2].bytes, kFrames * 6);
  for (shub_channel* ch : channels) shub_channel_close(ch);
  ASSERT_EQ(shub_stats(&stats), 0);
  EXPECT_EQ(stats.watchers, 0u);
}

TEST_F(Library, PeekerOnTheTouchChannelTakesNoTouchFromTheInjector) {
  ASSERT_TRUE(daemon.startReady());
  constexpr size_t kTouches = 30;
  shub_channel* ch = shub_channel_open(1);
  ASSERT_NE(ch, nullptr);
  uint64_t baseline = 0;
  uint8_t scratch[8];
  ASSERT_EQ(shub_channel_peek(ch, 0, scratch, sizeof scratch, &baseline), 0);
  Seen seen;
  std::jthread peeker(peekFrames, ch, kTouches, baseline, std::ref(seen));
  for (size_t k = 0; k < kTouches; ++k) {
    send({0xFE, 0x41, static_cast<uint8_t>(k), 0, 0, 0});
    ASSERT_TRUE(waitUntil([&] { return pointerLines() == k + 1 && seen.count.load() == k + 1; }))
        << "touch " << k << ": " << pointerLines() << " pointer events, " << seen.count.load() << " peeked";
  }
  peeker.join();
  shub_channel_close(ch);
}

TEST_F(Library, WriteReachesThePortOnlyWhileADaemonRuns) {
  const uint8_t bytes[] = {0x10, 0x20, 0x30};
  errno = 0;
  EXPECT_EQ(shub_write(bytes, sizeof bytes), -1);
  EXPECT_EQ(errno, ENOTCONN) << "no daemon ever ran";
  EXPECT_EQ(shub_channel_open(3), nullptr);
  EXPECT_EQ(errno, ENOENT);

  ASSERT_TRUE(daemon.startReady());
  EXPECT_EQ(shub_channel_open(9), nullptr);
  EXPECT_EQ(errno, ENOENT) << "a channel the route file lacks";
  ASSERT_EQ(shub_write(bytes, sizeof bytes), 0);
  EXPECT_EQ(pty.receive(3), Bytes(bytes, bytes + 3));
  static const uint8_t tooMany[SHUB_BLOCK_DATA_SIZE + 1] = {};
  EXPECT_EQ(shub_write(tooMany, sizeof tooMany), -1);
  EXPECT_EQ(errno, EMSGSIZE);

  ASSERT_EQ(kill(daemon.pid(), SIGTERM), 0);
  ASSERT_EQ(daemon.waitExit(10s), 0);
  EXPECT_EQ(shub_write(bytes, sizeof bytes), -1);
  EXPECT_EQ(errno, ENOTCONN) << "the status object stays, its lock does not";
  shub_status stats;
  ASSERT_EQ(shub_stats(&stats), 0);
  EXPECT_EQ(stats.daemon_alive, 0u);
}

// A file of another size where the status object belongs: said once, and the
// daemon runs on for its consumers; peeking and writing report the fault.
TEST_F(Library, AStatusObjectThatCannotBeMadeIsSaidOnceAndFramesStillFlow) {
  testing_support::writeHostFile(sandbox.objects() + "/" + SHUB_STATUS_NAME, "short");
  ASSERT_TRUE(daemon.startReady());
  const std::string said = daemon.stderrText();
  const std::string message = "status object " + sandbox.objects() + "/CRT:STATUS: not a file of 512 bytes";
  EXPECT_NE(said.find(message), std::string::npos) << said;
  EXPECT_EQ(said.find(message), said.rfind(message)) << said;
  shub_channel* ch = shub_channel_open(3);
  ASSERT_NE(ch, nullptr);
  send({0xAA, 0x55, 7, 7, 7, 7});
  uint8_t frame[SHUB_BLOCK_DATA_SIZE];
  EXPECT_EQ(shub_channel_wait(ch, 10000, frame, sizeof frame), 6);
  uint64_t seq = 0;
  EXPECT_EQ(shub_channel_peek(ch, 0, frame, sizeof frame, &seq), -1);
  EXPECT_EQ(errno, EINVAL);
  shub_channel_close(ch);
}

}  // namespace
