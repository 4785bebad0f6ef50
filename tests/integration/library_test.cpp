// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// libserialhub against the real serialhub in a sandboxed device with a pty as
// dev/COM7: two peekers and a consumer of one channel all see every frame in
// sequence, a peeker on the touch channel takes nothing from the daemon's
// touch injector, shub_write reaches the port only while a daemon runs and
// never replaces a message the daemon has not taken, waits learn that the
// daemon died, and hostile object files neither kill nor blind a client.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <numeric>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <serialhub/channel.h>

#include "platform/client_objects.h"
#include "tests/support/pty.h"
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

// A message of writer `writer`, number k: a start byte, the writer, k, a
// length, and that many bytes, so a torn or lost message shows in the stream.
Bytes message(uint8_t writer, uint32_t k) {
  Bytes bytes = {0x7E, writer, static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(1 + k % 23)};
  for (uint8_t i = 0; i < bytes[4]; ++i) bytes.push_back(static_cast<uint8_t>(k + i));
  return bytes;
}

// Each writer's messages, in the order they came out of the port; false on
// bytes that are no whole message.
bool splitMessages(const Bytes& stream, std::vector<std::vector<uint32_t>>& byWriter) {
  for (size_t at = 0; at < stream.size();) {
    if (stream.size() - at < 5 || stream[at] != 0x7E || stream[at + 1] >= byWriter.size()) return false;
    const uint32_t k = stream[at + 2] | stream[at + 3] << 8;
    const Bytes expected = message(stream[at + 1], k);
    if (stream.size() - at < expected.size() || !std::equal(expected.begin(), expected.end(), stream.begin() + at)) {
      return false;
    }
    byWriter[stream[at + 1]].push_back(k);
    at += expected.size();
  }
  return true;
}

size_t streamSize(uint8_t writer, uint32_t count) {
  size_t total = 0;
  for (uint32_t k = 0; k < count; ++k) total += message(writer, k).size();
  return total;
}

// Back-to-back writes from one process, then from two at once: each returns
// once the daemon took its message, so none replaces another.
TEST_F(Library, WritesFromOneOrTwoProcessesAllReachThePortWholeAndInOrder) {
  ASSERT_TRUE(daemon.startReady());
  const auto writeAll = [](uint8_t writer, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k) {
      const Bytes bytes = message(writer, k);
      if (shub_write(bytes.data(), bytes.size()) != 0) return false;
    }
    return true;
  };
  std::vector<std::vector<uint32_t>> seen(3);
  {
    std::jthread one([&] { EXPECT_TRUE(writeAll(0, 1000)); });
    ASSERT_TRUE(splitMessages(pty.receive(streamSize(0, 1000)), seen));
  }
  pid_t children[2];
  for (uint8_t writer : {1, 2}) {
    children[writer - 1] = fork();
    if (children[writer - 1] == 0) _exit(writeAll(writer, 300) ? 0 : 1);
  }
  ASSERT_TRUE(splitMessages(pty.receive(streamSize(1, 300) + streamSize(2, 300)), seen));
  for (pid_t child : children) {
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "a writer saw a write refused";
  }
  for (uint8_t writer : {0, 1, 2}) {
    std::vector<uint32_t> inOrder(writer == 0 ? 1000 : 300);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(seen[writer], inOrder) << "writer " << int(writer);
  }
}

// A daemon that does not take a message (stopped) fails the write within its
// bound and sends nothing of it later; a dead one fails it at once.
TEST_F(Library, AWriteTheDaemonDoesNotTakeFailsAndIsNeverSent) {
  ASSERT_TRUE(daemon.startReady());
  ASSERT_EQ(kill(daemon.pid(), SIGSTOP), 0);
  const auto allStopped = [&] {
    const std::string tasks = "/proc/" + std::to_string(daemon.pid()) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      const std::string stat = testing_support::readHostFile(task.path().string() + "/stat");
      if (stat.find(") T ") == std::string::npos) return false;
    }
    return true;
  };
  ASSERT_TRUE(waitUntil(allStopped));
  const uint8_t late[] = {0x11, 0x22, 0x33};
  const auto began = std::chrono::steady_clock::now();
  errno = 0;
  EXPECT_EQ(shub_write(late, sizeof late), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_GE(took, 1900ms);
  EXPECT_LT(took, 4000ms);
  ASSERT_EQ(kill(daemon.pid(), SIGCONT), 0);
  const uint8_t next[] = {0x44};
  ASSERT_EQ(shub_write(next, sizeof next), 0);
  EXPECT_EQ(pty.receive(1), Bytes{0x44}) << "the withdrawn message went out";

  daemon.killHard();
  errno = 0;
  EXPECT_EQ(shub_write(next, sizeof next), -1);
  EXPECT_EQ(errno, ENOTCONN);
}

// Waits on a channel learn that the daemon was killed, within a second; a
// clean restart is waited through.
TEST_F(Library, WaitsEndWithENOTCONNWhenTheDaemonDiesAndOutliveARestart) {
  ASSERT_TRUE(daemon.startReady());
  shub_channel* waiter = shub_channel_open(3);
  shub_channel* peeker = shub_channel_open(3);
  ASSERT_NE(waiter, nullptr);
  ASSERT_NE(peeker, nullptr);
  uint8_t frame[SHUB_BLOCK_DATA_SIZE];
  uint64_t seq = 0;
  ASSERT_EQ(shub_channel_peek(peeker, 0, frame, sizeof frame, &seq), 0);

  std::atomic<int> waited{0}, peeked{0};
  std::jthread across([&] { waited = shub_channel_wait(waiter, -1, frame, sizeof frame); });
  ASSERT_EQ(daemon.stop(), 0);
  ASSERT_TRUE(daemon.startReady());
  send({0xAA, 0x55, 1, 2, 3, 4});
  across.join();
  EXPECT_EQ(waited.load(), 6) << "the wait did not outlive a clean restart";

  seq = 0;  // from the next frame on
  std::atomic<int64_t> endedAt[2] = {0, 0};
  const auto sinceEpochMs = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  std::jthread waits[] = {std::jthread([&] {
                            waited = shub_channel_wait(waiter, -1, frame, sizeof frame) == -1 ? errno : 0;
                            endedAt[0] = sinceEpochMs();
                          }),
                          std::jthread([&] {
                            uint8_t peek[SHUB_BLOCK_DATA_SIZE];
                            peeked = shub_channel_peek(peeker, -1, peek, sizeof peek, &seq) == -1 ? errno : 0;
                            endedAt[1] = sinceEpochMs();
                          })};
  const int64_t killedAt = sinceEpochMs();
  daemon.killHard();
  for (std::jthread& wait : waits) wait.join();
  EXPECT_EQ(waited.load(), ENOTCONN);
  EXPECT_EQ(peeked.load(), ENOTCONN);
  for (const auto& at : endedAt) EXPECT_LT(at.load() - killedAt, 1500) << "ms from kill -9 to the return";
  shub_channel_close(waiter);
  shub_channel_close(peeker);
}

// Words of the status object written by another process: a seqlock word
// left odd, a sequence number set back or run up near 2^64 across a
// restart. Peeks see every later frame once, report no absurd gap, and
// never loop on one frame.
TEST_F(Library, HostileStatusWordsNeitherBlindNorMisleadAPeeker) {
  ASSERT_TRUE(daemon.startReady());
  shub_channel* ch = shub_channel_open(3);
  ASSERT_NE(ch, nullptr);
  const int fd = open((sandbox.objects() + "/CRT:STATUS").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto* status = static_cast<uint8_t*>(mmap(nullptr, SHUB_STATUS_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(status, MAP_FAILED);
  const uint32_t entry = SHUB_STATUS_ENTRY_OFFSET + 2 * SHUB_STATUS_ENTRY_SIZE;  // CRT3, the third route
  auto version = shub::os::wordAt(status, entry + SHUB_STATUS_ENTRY_VERSION);
  auto seqWord = shub::os::wordAt<uint64_t>(status, entry + SHUB_STATUS_ENTRY_SEQ);
  uint8_t frame[SHUB_BLOCK_DATA_SIZE];
  uint64_t seq = 0;
  ASSERT_EQ(shub_channel_peek(ch, 0, frame, sizeof frame, &seq), 0);
  // Peeks frames numbered `from` on; each must come once, with nothing missed.
  const auto peekFrames = [&](uint8_t from, int count, const char* legend) {
    SCOPED_TRACE(legend);
    for (int k = 0; k < count; ++k) {
      const uint8_t number = static_cast<uint8_t>(from + k);
      send({0xAA, 0x55, number, 0, 0, 0});
      const uint64_t before = seq;
      ASSERT_EQ(shub_channel_peek(ch, 5000, frame, sizeof frame, &seq), 6) << "frame " << int(number);
      EXPECT_EQ(frame[2], number);
      EXPECT_EQ(shub_frames_missed(before, seq), 0u) << before << " then " << seq;
    }
  };
  peekFrames(1, 2, "as delivered");
  version.store(version.load() | 1);
  peekFrames(3, 5, "a seqlock word left odd");
  seqWord.store(seq - 1);
  EXPECT_EQ(shub_channel_peek(ch, 200, frame, sizeof frame, &seq), 0) << "a number set back is no frame";
  peekFrames(8, 2, "a number set back");

  munmap(status, SHUB_STATUS_SIZE);
  ASSERT_EQ(daemon.stop(), 0);
  {
    const int again = open((sandbox.objects() + "/CRT:STATUS").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(pwrite(again, "\xfe\xff\xff\xff\xff\xff\xff\xff", 8, entry + SHUB_STATUS_ENTRY_SEQ), 8);
    close(again);
  }
  ASSERT_TRUE(daemon.startReady()) << daemon.stderrText();
  int returns = 0;
  for (uint8_t k = 20; k < 23; ++k) {
    send({0xAA, 0x55, k, 0, 0, 0});
    const uint64_t before = seq;
    ASSERT_EQ(shub_channel_peek(ch, 5000, frame, sizeof frame, &seq), 6);
    ++returns;
    EXPECT_EQ(frame[2], k);
    EXPECT_LT(shub_frames_missed(before, seq), 2u) << before << " then " << seq;
  }
  EXPECT_EQ(shub_channel_peek(ch, 200, frame, sizeof frame, &seq), 0) << "the same frame came twice";
  EXPECT_EQ(returns, 3);
  shub_channel_close(ch);
}

// Objects truncated under a client by another process: the call reports EIO
// instead of the process dying of SIGBUS.
TEST_F(Library, TruncatedObjectsGiveEIOInsteadOfSIGBUS) {
  ASSERT_TRUE(daemon.startReady());
  for (const char* name : {"CRT:STATUS", "CRT3", "CRT3:EVENT"}) {
    SCOPED_TRACE(name);
    shub_channel* ch = shub_channel_open(3);
    ASSERT_NE(ch, nullptr);
    uint8_t frame[SHUB_BLOCK_DATA_SIZE];
    uint64_t seq = 0;
    ASSERT_EQ(shub_channel_peek(ch, 0, frame, sizeof frame, &seq), 0);
    ASSERT_EQ(truncate((sandbox.objects() + "/" + name).c_str(), 0), 0);
    send({0xAA, 0x55, 9, 9, 9, 9});
    errno = 0;
    const int peeked = shub_channel_peek(ch, 1000, frame, sizeof frame, &seq);
    const int peekError = errno;
    errno = 0;
    const int waited = shub_channel_wait(ch, 1000, frame, sizeof frame);
    EXPECT_TRUE((peeked == -1 && peekError == EIO) || (waited == -1 && errno == EIO))
        << "peek " << peeked << " " << peekError << ", wait " << waited << " " << errno;
    shub_channel_close(ch);
    ASSERT_EQ(daemon.stop(), 0);
    std::filesystem::remove(sandbox.objects() + "/" + name);
    ASSERT_TRUE(daemon.startReady());
  }
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
