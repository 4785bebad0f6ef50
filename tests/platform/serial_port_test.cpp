// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The real port on a pty: which nodes open, exclusivity, a raw 19200 8N1 line
// that passes every byte value, reads that end on a stop or a hang-up, and
// writes bounded by their time-out or ended by a stop.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>
#include <stop_token>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "platform/serial_port.h"
#include "tests/support/pty.h"
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
    port = shub::os::openSerialPort("COM7:");
    ASSERT_NE(port, nullptr);
  }
  // A second descriptor on the slave: a pty slave is not TIOCEXCL'd, and
  // flock is only advisory.
  int openSlave() const { return open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK); }

  testing_support::DeviceSandbox sandbox;
  PtyPair pty;
  std::unique_ptr<shub::os::SerialPort> port;
};

// Runs `call` on another thread; its result once it returns within `limit`.
template <typename Call>
std::optional<shub::os::PortResult> within(std::chrono::milliseconds limit, Call call) {
  auto result = std::async(std::launch::async, call);
  if (result.wait_for(limit) != std::future_status::ready) return std::nullopt;
  return result.get();
}

}  // namespace

TEST(SerialPortOpen, RefusesWhatIsNotATerminal) {
  testing_support::DeviceSandbox sandbox;
  EXPECT_EQ(shub::os::openSerialPort("COM7:"), nullptr) << "missing node";
  sandbox.writeFile("dev/COM7", "not a tty\n");
  EXPECT_EQ(shub::os::openSerialPort("COM7:"), nullptr) << "regular file";
  EXPECT_EQ(shub::os::openSerialPort(":"), nullptr);
  EXPECT_EQ(shub::os::openSerialPort(nullptr), nullptr);
}

TEST_F(SerialPortTest, OpensByNameWithoutRegardToCaseAndExclusively) {
  EXPECT_EQ(shub::os::openSerialPort("com7"), nullptr) << "a second opener must fail";
  port.reset();
  EXPECT_NE(shub::os::openSerialPort("com7:"), nullptr) << "closing releases the port";
}

TEST_F(SerialPortTest, LineIsRawAtNineteenTwoHundredEightNOne) {
  const int slave = openSlave();
  ASSERT_GE(slave, 0);
  termios line{};
  ASSERT_EQ(tcgetattr(slave, &line), 0);
  close(slave);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(line.c_cflag & (CRTSCTS | PARENB | CSTOPB), 0u);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_cc[VMIN], 1);
  EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B19200));
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
}

TEST_F(SerialPortTest, EveryByteValuePassesBothWaysUnchangedInReadsOfAtMostTheSizeAsked) {
  std::vector<uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  ASSERT_EQ(::write(pty.master, all.data(), all.size()), 256);
  std::vector<uint8_t> got;
  while (got.size() < all.size()) {
    uint8_t buffer[100];
    const auto part = within(5s, [&] { return port->read(buffer, sizeof buffer, {}); });
    ASSERT_TRUE(part && part->status == shub::os::PortStatus::done);
    ASSERT_LE(part->count, sizeof buffer);
    got.insert(got.end(), buffer, buffer + part->count);
  }
  EXPECT_EQ(got, all);

  const shub::os::PortResult sent = port->write(all.data(), 256, {});
  EXPECT_EQ(sent.status, shub::os::PortStatus::done);
  EXPECT_EQ(sent.count, 256u);
  EXPECT_EQ(pty.receive(256), all);
}

// The stop lands before, during or after the read goes to sleep; each must end it.
TEST_F(SerialPortTest, ReadEndsOnAStopWheneverItComesAndOnAHangUp) {
  uint8_t buffer[16];
  for (int round = 0; round < 50; ++round) {
    std::stop_source stop;
    if (round == 0) stop.request_stop();
    auto reading = std::async(std::launch::async, [&] { return port->read(buffer, sizeof buffer, stop.get_token()); });
    stop.request_stop();
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready) << "round " << round;
    EXPECT_EQ(reading.get().status, shub::os::PortStatus::stopped);
  }
  // Stops of earlier reads leave nothing that ends a later one.
  const uint8_t byte = 0x5A;
  auto reading = std::async(std::launch::async, [&] { return port->read(buffer, sizeof buffer, {}); });
  EXPECT_EQ(reading.wait_for(50ms), std::future_status::timeout);
  ASSERT_EQ(::write(pty.master, &byte, 1), 1);
  ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
  const shub::os::PortResult got = reading.get();
  EXPECT_EQ(got.status, shub::os::PortStatus::done);
  EXPECT_EQ(got.count, 1u);

  reading = std::async(std::launch::async, [&] { return port->read(buffer, sizeof buffer, {}); });
  pty.closeMaster();
  ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(reading.get().status, shub::os::PortStatus::hungUp);
  EXPECT_EQ(port->read(buffer, sizeof buffer, {}).status, shub::os::PortStatus::hungUp) << "and stays so, without blocking";
}

TEST_F(SerialPortTest, WriteBehindAFullQueueEndsAtItsTimeOutOrOnAStop) {
  // Fill the line's output queue through a second descriptor until no room
  // comes back (the pty moves data on to the master's side in the background);
  // the peer never reads.
  const int slave = openSlave();
  ASSERT_GE(slave, 0);
  const std::vector<uint8_t> flood(1 << 20, 0x55);
  pollfd room{slave, POLLOUT, 0};
  do {
    while (::write(slave, flood.data(), 4096) > 0 || ::write(slave, flood.data(), 1) > 0) {
    }
  } while (poll(&room, 1, 200) == 1);
  close(slave);

  const auto began = std::chrono::steady_clock::now();
  const shub::os::PortResult one = port->write(flood.data(), 1, {});
  const auto elapsed = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(one.status, shub::os::PortStatus::done);
  EXPECT_EQ(one.count, 0u);
  EXPECT_GE(elapsed, 45ms) << "40 ms a byte plus 10 ms";
  EXPECT_LT(elapsed, 5s);

  std::stop_source stop;
  auto writing = std::async(std::launch::async, [&] {
    return port->write(flood.data(), static_cast<uint32_t>(flood.size()), stop.get_token());
  });
  EXPECT_EQ(writing.wait_for(50ms), std::future_status::timeout) << "hours allowed for a mebibyte";
  stop.request_stop();
  ASSERT_EQ(writing.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(writing.get().status, shub::os::PortStatus::stopped);
}
