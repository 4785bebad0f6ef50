// The real port on a pty: which nodes open, exclusivity, a raw 8N1 line that
// passes every byte value, reads that never block, waits that end on a mask
// change, a stop request or a hang-up, and writes bounded by their time-out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <vector>

#include <poll.h>
#include <termios.h>

#include "platform/serial_port.h"
#include "platform/thread.h"
#include "tests/serial/pty.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

using testing_support::PtyPair;
using testing_support::waitUntil;
using namespace std::chrono_literals;

namespace {

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
  }

  testing_support::DeviceSandbox sandbox;
  PtyPair pty;
};

ce::SerialTimeouts immediateReads(uint32_t writeMultiplier, uint32_t writeConstant) {
  return {.readInterval = ce::kReadReturnsAtOnce, .writeTotalMultiplier = writeMultiplier,
          .writeTotalConstant = writeConstant};
}

}  // namespace

TEST(SerialPortOpen, RefusesWhatIsNotATerminal) {
  testing_support::DeviceSandbox sandbox;
  EXPECT_EQ(ce::openSerialPort("COM7:"), nullptr) << "missing node";
  sandbox.writeFile("dev/COM7", "not a tty\n");
  EXPECT_EQ(ce::openSerialPort("COM7:"), nullptr) << "regular file";
  EXPECT_EQ(ce::openSerialPort(":"), nullptr);
  EXPECT_EQ(ce::openSerialPort(nullptr), nullptr);
}

TEST_F(SerialPortTest, OpensByNameWithoutRegardToCaseAndExclusively) {
  auto first = ce::openSerialPort("com7:");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ce::openSerialPort("COM7:"), nullptr) << "a second opener must fail";
  first.reset();
  EXPECT_NE(ce::openSerialPort("COM7"), nullptr) << "closing releases the port";
}

TEST_F(SerialPortTest, LineIsRawAndTakesTheSettingsAsked) {
  auto port = ce::openSerialPort("COM7:");
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->setSettings({.baudRate = 19200, .dataBits = 8, .parity = ce::kNoParity,
                                 .stopBits = ce::kOneStopBit}));
  ce::SerialSettings read{};
  ASSERT_TRUE(port->getSettings(read));
  EXPECT_EQ(read.baudRate, 19200u);
  EXPECT_EQ(read.dataBits, 8);
  EXPECT_EQ(read.parity, ce::kNoParity);
  EXPECT_EQ(read.stopBits, ce::kOneStopBit);
  EXPECT_FALSE(port->setSettings({.baudRate = 12345}));

  const int slave = open(pty.slave.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave < 0) GTEST_SKIP() << "the exclusive pty cannot be inspected (running as non-root)";
  termios line{};
  ASSERT_EQ(tcgetattr(slave, &line), 0);
  close(slave);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(line.c_cflag & (CRTSCTS | PARENB | CSTOPB), 0u);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B19200));
}

TEST_F(SerialPortTest, EveryByteValuePassesBothWaysUnchanged) {
  auto port = ce::openSerialPort("COM7:");
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->setTimeouts(immediateReads(40, 10)));
  ASSERT_TRUE(port->setEventMask(ce::kEventCharReceived));
  std::vector<uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);

  ASSERT_EQ(::write(pty.master, all.data(), all.size()), 256);
  std::vector<uint8_t> got;
  ASSERT_TRUE(waitUntil([&] {
    uint8_t buffer[260];
    const ce::PortResult part = port->read(buffer, sizeof buffer);
    if (part.ok) got.insert(got.end(), buffer, buffer + part.count);
    return got.size() >= all.size();
  }));
  EXPECT_EQ(got, all);

  const ce::PortResult sent = port->write(all.data(), 256);
  EXPECT_TRUE(sent.ok);
  EXPECT_EQ(sent.count, 256u);
  EXPECT_EQ(pty.receive(256), all);
}

TEST_F(SerialPortTest, ReadWithNothingWaitingReturnsAtOnceWithNothing) {
  auto port = ce::openSerialPort("COM7:");
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->setTimeouts(immediateReads(0, 0)));
  uint8_t buffer[260];
  const ce::PortResult got = port->read(buffer, sizeof buffer);
  EXPECT_TRUE(got.ok);
  EXPECT_FALSE(got.hangup);
  EXPECT_EQ(got.count, 0u);
}

TEST_F(SerialPortTest, WaitReportsReceivedCharacters) {
  auto port = ce::openSerialPort("COM7:");
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->setEventMask(ce::kEventCharReceived));
  port->waitEvent();  // the mask change itself ends one wait
  const uint8_t byte = 0x5A;
  ASSERT_EQ(::write(pty.master, &byte, 1), 1);
  const ce::PortResult event = port->waitEvent();
  EXPECT_TRUE(event.ok);
  EXPECT_EQ(event.events, ce::kEventCharReceived);
}

TEST_F(SerialPortTest, WaitEndsOnMaskChangeStopRequestAndHangUp) {
  std::shared_ptr<ce::SerialPort> port = ce::openSerialPort("COM7:");
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->setEventMask(ce::kEventCharReceived));
  port->waitEvent();

  std::atomic<int> ended{0};
  std::atomic<uint32_t> lastEvents{99};
  auto waitOnce = [&] {
    const ce::PortResult event = port->waitEvent();
    lastEvents = event.events;
    ended.fetch_add(1);
  };
  ce::Thread* waiter = ce::startThread(waitOnce);
  ASSERT_NE(waiter, nullptr);
  port->setEventMask(0);
  ASSERT_TRUE(waitUntil([&] { return ended.load() == 1; }, 3s)) << "mask change did not end the wait";
  EXPECT_EQ(lastEvents.load(), 0u);
  ce::closeThread(waiter);

  waiter = ce::startThread([&] {
    while (!ce::stopRequested()) port->waitEvent();
    ended.fetch_add(1);
  });
  ce::stopThread(waiter);  // returns only once the routine has
  EXPECT_EQ(ended.load(), 2);
  ce::closeThread(waiter);

  pty.closeMaster();
  // The stop above may leave one spurious wake-up behind (ok, no event).
  ce::PortResult event = port->waitEvent();
  if (event.ok && event.events == 0) event = port->waitEvent();
  EXPECT_TRUE(event.hangup);
  EXPECT_FALSE(event.ok);
  uint8_t buffer[16];
  const ce::PortResult got = port->read(buffer, sizeof buffer);
  EXPECT_TRUE(got.hangup);
  EXPECT_FALSE(got.ok);
}

TEST_F(SerialPortTest, WriteToAPeerThatNeverReadsEndsAtItsTimeOut) {
  std::shared_ptr<ce::SerialPort> port = ce::openSerialPort("COM7:");
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->setTimeouts(immediateReads(0, 200)));
  const std::vector<uint8_t> flood(1 << 20, 0x55);  // far beyond the pty's buffer
  const auto began = std::chrono::steady_clock::now();
  const ce::PortResult sent = port->write(flood.data(), static_cast<uint32_t>(flood.size()));
  const auto elapsed = std::chrono::steady_clock::now() - began;
  EXPECT_TRUE(sent.ok);
  EXPECT_LT(sent.count, flood.size());
  EXPECT_GE(elapsed, 150ms);
  EXPECT_LT(elapsed, 5s);

  // Without a time-out, only a stop request ends it.
  ASSERT_TRUE(port->setTimeouts(immediateReads(0, 0)));
  std::atomic<bool> returned{false};
  ce::Thread* writer = ce::startThread([&] {
    port->write(flood.data(), static_cast<uint32_t>(flood.size()));
    returned = true;
  });
  ce::stopThread(writer);
  EXPECT_TRUE(returned.load());
  ce::closeThread(writer);
}
