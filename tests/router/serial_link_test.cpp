// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The serial link against a scripted line: what reaches the assembler, what
// reaches the wire from the write block, and how the link lives through a
// missing port, a hang-up and a stop.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <semaphore>
#include <vector>

#include "platform/named_objects.h"
#include "router/channel_block.h"
#include "router/serial_link.h"
#include "tests/router/fake_port.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

using namespace shub::router;

using testing_support::FakeLine;
using testing_support::FakePort;
using testing_support::waitUntil;
using namespace std::chrono_literals;

namespace {

// What the assembler was fed, call by call.
struct FeedLog {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> calls;
  void add(uint32_t count, const uint8_t* bytes) {
    std::lock_guard lock(mutex);
    calls.emplace_back(bytes, bytes + count);
  }
  std::vector<uint8_t> all() {
    std::lock_guard lock(mutex);
    std::vector<uint8_t> joined;
    for (const auto& call : calls) joined.insert(joined.end(), call.begin(), call.end());
    return joined;
  }
};

// A line the link may open; `available` false makes the node "missing".
struct Wiring {
  std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
  std::atomic<bool> available{true};
  std::atomic<uint32_t> opens{0};
  std::mutex swapMutex;

  std::unique_ptr<shub::os::SerialPort> open() {
    opens.fetch_add(1);
    if (!available.load()) return nullptr;
    std::lock_guard lock(swapMutex);
    return std::make_unique<FakePort>(line);
  }
  std::shared_ptr<FakeLine> current() {
    std::lock_guard lock(swapMutex);
    return line;
  }
  // A new adapter plugged in: a fresh line behind the same name.
  std::shared_ptr<FakeLine> replug() {
    std::lock_guard lock(swapMutex);
    line = std::make_shared<FakeLine>();
    available = true;
    return line;
  }
};

class SerialLinkTest : public ::testing::Test {
 protected:
  void start() {
    link = std::make_unique<SerialLink>(SerialLinkDeps{
        .openPort = [this](shub::os::PortOpenReport&) { return wiring.open(); },
        .portState = {},
        .hungUp = {},
        .feedBytes =
            [this](uint32_t count, const uint8_t* bytes) {
              fed.add(count, bytes);
              if (stall) stall();
            },
    });
    ASSERT_NE(link->startSerialLink(), 0);
    writeEvent = shub::os::Event::open(SHUB_WRITE_EVENT_NAME);
    writeBlock = shub::os::openOrCreateBlock(SHUB_WRITE_BLOCK_NAME, SHUB_BLOCK_SIZE);
    writeAddress = writeBlock.data();
    ASSERT_TRUE(writeEvent.valid());
    ASSERT_NE(writeAddress, nullptr);
  }

  void TearDown() override {
    if (link) link->stopSerialLink();
  }

  // A client's send: length word, data, then the event.
  void clientSend(uint32_t length, const std::vector<uint8_t>& data) {
    storeBlockBytes(writeAddress, SHUB_BLOCK_DATA_OFFSET, data.data(), static_cast<uint32_t>(data.size()));
    storeBlockLength(writeAddress, length);
    writeEvent.signal();
  }

  testing_support::DeviceSandbox sandbox;
  Wiring wiring;
  FeedLog fed;
  std::function<void()> stall;  // run by the reader after each feed
  std::unique_ptr<SerialLink> link;
  shub::os::Event writeEvent;
  shub::os::Block writeBlock;
  uint8_t* writeAddress = nullptr;
};

std::vector<uint8_t> pattern(size_t count, uint8_t seed) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

}  // namespace

TEST_F(SerialLinkTest, BurstReachesAssemblerInOrderInPiecesOfAtMost260) {
  start();
  const std::vector<uint8_t> burst = pattern(1000, 3);
  wiring.current()->push(burst);
  ASSERT_TRUE(waitUntil([&] { return fed.all().size() == burst.size(); }));
  EXPECT_EQ(fed.all(), burst);
  std::lock_guard lock(fed.mutex);
  for (const auto& call : fed.calls) EXPECT_LE(call.size(), 260u);
  EXPECT_GE(fed.calls.size(), 4u);
}

TEST_F(SerialLinkTest, WriteBlockBytesGoOutAsTheLengthWordSays) {
  struct Row {
    const char* legend;
    uint32_t length;
    size_t sent;  // bytes that must reach the wire
  };
  const Row rows[] = {
      {"three bytes", 3, 3},
      {"the whole data area", 260, 260},
      {"one past the data area is cut to it", 261, 260},
      {"0xFFFFFFFF is cut to the data area", 0xFFFFFFFF, 260},
  };
  start();
  const std::vector<uint8_t> data = pattern(260, 1);
  size_t expectedWrites = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.legend);
    clientSend(row.length, data);
    ++expectedWrites;
    ASSERT_TRUE(waitUntil([&] { return wiring.current()->writeCount() == expectedWrites; }));
    const std::vector<uint8_t> want(data.begin(), data.begin() + static_cast<ptrdiff_t>(row.sent));
    EXPECT_EQ(wiring.current()->write(expectedWrites - 1), want);
    EXPECT_TRUE(waitUntil([&] { return loadBlockLength(writeAddress) == 0; })) << "the outcome: all went out";
  }
  // The outcome in the length word: 0 when all went out, SHUB_WRITE_NOT_SENT
  // when the line took only part within its time-out.
  for (const uint32_t accepted : {UINT32_MAX, 1u}) {
    wiring.current()->acceptAtMost(accepted);
    clientSend(3, data);
    const uint32_t outcome = accepted == 1 ? SHUB_WRITE_NOT_SENT : 0;
    EXPECT_TRUE(waitUntil([&] { return loadBlockLength(writeAddress) == outcome; })) << accepted;
    ++expectedWrites;
  }
  wiring.current()->acceptAtMost(UINT32_MAX);
  // A length of 0 sends nothing; the next send shows the writer lives on. The
  // writer may wake for the first set after the second send filled the block,
  // and then send those bytes for both sets: never an empty write.
  clientSend(0, data);
  clientSend(2, {0xEE, 0xFF});
  ASSERT_TRUE(waitUntil([&] { return wiring.current()->writeCount() >= expectedWrites + 1; }));
  for (size_t i = expectedWrites; i < wiring.current()->writeCount(); ++i) {
    EXPECT_EQ(wiring.current()->write(i), (std::vector<uint8_t>{0xEE, 0xFF}));
  }
}

TEST_F(SerialLinkTest, TwoSetsBeforeTheWriterWakesGiveOneWrite) {
  start();
  const auto line = wiring.current();
  line->setHold(true);
  clientSend(1, {0x10});
  ASSERT_TRUE(waitUntil([&] { return line->writeCount() == 1; }));  // writer held inside write
  clientSend(1, {0x20});
  clientSend(1, {0x20});
  line->setHold(false);
  ASSERT_TRUE(waitUntil([&] { return line->writeCount() == 2; }));
  // As a client does: the next set only once the outcome of the last is in.
  ASSERT_TRUE(waitUntil([&] { return loadBlockLength(writeAddress) == 0; }));
  clientSend(1, {0x30});
  ASSERT_TRUE(waitUntil([&] { return line->writeCount() >= 3; }));
  EXPECT_EQ(line->writeCount(), 3u);
  EXPECT_EQ(line->write(1), std::vector<uint8_t>{0x20});
  EXPECT_EQ(line->write(2), std::vector<uint8_t>{0x30});
}

TEST_F(SerialLinkTest, WithoutAPortTheReaderIdlesAndFindsThePortLater) {
  wiring.available = false;
  start();
  EXPECT_FALSE(link->portOpen());
  clientSend(2, {0x61, 0x62});  // no line to send them on: they wait in the block
  // The back-off reaches one look a second; in 1.5 s that is at most a handful.
  const auto began = std::chrono::steady_clock::now();
  waitUntil([] { return false; }, 1500ms);
  const auto elapsed = std::chrono::steady_clock::now() - began;
  EXPECT_LE(wiring.opens.load(), 2u + static_cast<uint32_t>(elapsed / 50ms));
  EXPECT_LE(wiring.opens.load(), 9u);
  EXPECT_EQ(wiring.current()->readCalls.load(), 0u);

  const auto line = wiring.replug();
  ASSERT_TRUE(waitUntil([&] { return link->portOpen(); }, 3s));
  line->push({0xAA, 0x55, 0x01});
  ASSERT_TRUE(waitUntil([&] { return fed.all().size() == 3; }));
  ASSERT_TRUE(waitUntil([&] { return line->writeCount() == 1; }));
  EXPECT_EQ(line->write(0), (std::vector<uint8_t>{0x61, 0x62})) << "dropped for want of a port";
}

// A reader stuck in a call that ignores the stop holds a stop up for 2 s and
// no longer; it is left to end on its own, and the link outlives it.
TEST_F(SerialLinkTest, AStopWaitsForAStuckReaderTwoSecondsAtMost) {
  std::binary_semaphore release{0};
  std::atomic<bool> stuck{false};
  stall = [&] {
    stuck = true;
    release.acquire();
  };
  start();
  wiring.current()->push({1});
  ASSERT_TRUE(waitUntil([&] { return stuck.load(); }));
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(link->stopSerialLink());
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_GE(took, 1900ms);
  EXPECT_LT(took, 3500ms);
  release.release();
  link.reset();  // waits for the reader, which now ends
}

TEST_F(SerialLinkTest, HangUpClosesThePortWithoutSpinningAndAReplugBringsFramesBack) {
  start();
  auto line = wiring.current();
  line->push({1, 2});
  ASSERT_TRUE(waitUntil([&] { return fed.all().size() == 2; }));

  wiring.available = false;
  line->hangUp();
  ASSERT_TRUE(waitUntil([&] { return !line->portAlive.load(); }, 3s)) << "hung-up port not closed";
  const uint32_t readsAfterHangup = line->readCalls.load();
  const uint32_t opensAfterHangup = wiring.opens.load();
  waitUntil([] { return false; }, 1000ms);
  EXPECT_EQ(line->readCalls.load(), readsAfterHangup);  // the dead port is not read again
  EXPECT_LE(wiring.opens.load() - opensAfterHangup, 6u);

  line = wiring.replug();
  ASSERT_TRUE(waitUntil([&] { return link->portOpen(); }, 3s));
  line->push({3, 4, 5});
  ASSERT_TRUE(waitUntil([&] { return fed.all().size() == 5; }));
  EXPECT_EQ(fed.all(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(SerialLinkTest, StopEndsAWriteInProgressAndClosesThePort) {
  start();
  const auto line = wiring.current();
  line->setHold(true);
  clientSend(1, {0x42});
  ASSERT_TRUE(waitUntil([&] { return line->writeCount() == 1; }));
  const auto began = std::chrono::steady_clock::now();
  link->stopSerialLink();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 1500ms);
  EXPECT_FALSE(line->portAlive.load());
  EXPECT_FALSE(link->portOpen());
  link->stopSerialLink();  // twice is harmless
}

TEST_F(SerialLinkTest, BytesArrivingDuringStopAreNotFedAfterIt) {
  start();
  const auto line = wiring.current();
  line->push(pattern(100, 9));
  link->stopSerialLink();
  const size_t fedAtStop = fed.all().size();
  line->push(pattern(100, 5));
  EXPECT_FALSE(line->portAlive.load());
  EXPECT_EQ(fed.all().size(), fedAtStop);
}
