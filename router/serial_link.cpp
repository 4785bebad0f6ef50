// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The serial link's threads and their start and stop: the reader turns bytes
// on the port into feedBytes() calls, the writer turns settings of the write
// event into port writes.
#include "router/serial_link.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "platform/client_objects.h"
#include "platform/paths.h"
#include "router/channel_block.h"
#include "router/threads.h"

namespace shub::router {

std::unique_ptr<os::SerialPort> openComPort(os::PortOpenReport& report) {
  return os::openSerialPort(kSerialPortName, &report);
}

namespace {

constexpr const char* kNodeName = SHUB_SERIAL_NODE;

std::string named(const os::PortOpenReport& report) {
  return report.path.empty() ? kNodeName : std::string(kNodeName) + " (" + report.path + ")";
}

// Why the write block could not be had, from the errno of its open.
std::string writeBlockProblem(int error) {
  const std::string what = std::string(SHUB_WRITE_BLOCK_NAME) + " (" + os::objectPath(SHUB_WRITE_BLOCK_NAME).value_or("") + ")";
  if (error == EINVAL) return what + ": not a file of " + std::to_string(SHUB_BLOCK_SIZE) + " bytes";
  if (error == ELOOP) return what + ": a symbolic link; refused";
  return what + ": " + std::strerror(error);
}

// Tells the writer of the block's message how it went: the length word it
// wrote becomes 0 once every byte went out, SHUB_WRITE_NOT_SENT when the line
// did not take them all. Compared first, so an outcome that comes after the
// writer gave up never overwrites the next writer's message.
void tellOutcome(uint8_t* block, uint32_t taken, bool sent) {
  uint32_t expected = taken;
  os::wordAt(block, SHUB_BLOCK_LENGTH_OFFSET)
      .compare_exchange_strong(expected, sent ? 0 : SHUB_WRITE_NOT_SENT, std::memory_order_release);
  os::wakeSharedWord(reinterpret_cast<uint32_t*>(block + SHUB_BLOCK_LENGTH_OFFSET), INT32_MAX);
}

}  // namespace

SerialLink::SerialLink(SerialLinkDeps deps) : deps_(std::move(deps)) {}

SerialLink::~SerialLink() {
  // A reader left running by a stop still uses this object: it ends once its
  // blocked call returns, and the object must outlive it.
  if (!stopSerialLink() || readerLeft_) readerEnded_.acquire();
}

int SerialLink::startSerialLink() {
  if (running_) return 1;
  running_ = true;
  startWriter();
  port_.store(openAndSay());  // before the reader, which then finds it at once
  reader_ = router::startThread([this](std::stop_token stop) {
    readerLoop(stop);
    readerEnded_.release();
  });
  return 1;
}

// Without the write block (another process left a file of another size or a
// link there) the daemon runs on without serial writes: said once.
void SerialLink::startWriter() {
  writeEvent_ = os::Event::create(SHUB_WRITE_EVENT_NAME);
  writeBlock_ = os::openOrCreateBlock(SHUB_WRITE_BLOCK_NAME, SHUB_BLOCK_SIZE);
  const int error = errno;  // of the open or the mapping, whichever failed
  uint8_t* block = writeBlock_.data();
  if (block == nullptr || !writeEvent_.valid()) {
    const std::string problem =
        block == nullptr ? writeBlockProblem(error) : std::string(SHUB_WRITE_EVENT_NAME) + ": cannot be made";
    os::logError("%s; serial writes are off", problem.c_str());
    return;
  }
  storeUnownedLock(block);
  // Bytes left while no daemon ran are stale: not sent. A client that holds
  // the writers' lock is still waiting for its bytes to be taken: they stay.
  if (!os::lockedByAnother(writeBlock_.fd())) {
    writeEvent_.clear();
    storeBlockLength(block, 0);
  }
  writer_ = router::startThread([this](std::stop_token stop) { writerLoop(stop); });
}

bool SerialLink::stopSerialLink() {
  if (!running_) return true;
  running_ = false;
  // The writer first, so it never writes to a port being closed; the reader
  // before the caller releases the assembler and the blocks it feeds.
  router::stopThread(writer_);
  reader_.request_stop();
  if (reader_.joinable()) {
    if (!readerEnded_.try_acquire_for(std::chrono::milliseconds(kReaderStopMs))) {
      os::logError("the serial reader did not stop within %u ms; it is left to the end of the process",
                 static_cast<unsigned>(kReaderStopMs));
      reader_.detach();
      readerLeft_ = true;
      return false;
    }
    reader_.join();
  }
  port_.store(nullptr);
  writeBlock_ = {};
  writeEvent_ = {};
  return true;
}

// No port: wait out the back-off (doubling up to a second), then look again.
void SerialLink::lookForPort(uint32_t& retryMs, std::stop_token stop) {
  router::pauseFor(std::chrono::milliseconds(retryMs), stop);
  if (stop.stop_requested()) return;
  std::unique_ptr<os::SerialPort> opened = openAndSay();
  if (!opened) {
    retryMs = std::min(retryMs * 2, kMaxRetryMs);
    return;
  }
  port_.store(std::move(opened));
}

// One line per change of state: a port missing for an hour is said once.
std::unique_ptr<os::SerialPort> SerialLink::openAndSay() {
  os::PortOpenReport report;
  std::unique_ptr<os::SerialPort> port = deps_.openPort ? deps_.openPort(report) : nullptr;
  if (port) {
    say(os::LogLevel::info, named(report) + ": opened", named(report) + " open");
  } else {
    say(os::LogLevel::warning, named(report) + ": " + report.failure, std::string("waiting for ") + kNodeName);
  }
  return port;
}

void SerialLink::say(os::LogLevel level, const std::string& line, const std::string& state) {
  if (line == lastSaid_) return;
  lastSaid_ = line;
  os::logAt(level, "%s", line.c_str());
  if (deps_.portState) deps_.portState(state);
}

// A hang-up or failed read drops the port at once: a dead line would report
// "readable" for ever and make this loop spin.
void SerialLink::readerLoop(std::stop_token stop) {
  uint32_t retryMs = kFirstRetryMs;
  uint8_t buffer[kReadSize];
  while (!stop.stop_requested()) {
    const std::shared_ptr<os::SerialPort> port = port_.load();
    if (!port) {
      lookForPort(retryMs, stop);
      continue;
    }
    const os::PortResult got = port->read(buffer, kReadSize, stop);
    if (got.status == os::PortStatus::stopped) return;
    if (got.status != os::PortStatus::done) {
      port_.store(nullptr);  // closed here, or by the writer as it lets go
      say(os::LogLevel::warning, std::string(kNodeName) + ": hung up; looking for it again",
          std::string("waiting for ") + kNodeName);
      if (deps_.hungUp) deps_.hungUp();
      continue;
    }
    const uint32_t count = std::min(got.count, kReadSize);
    if (count == 0) continue;
    retryMs = kFirstRetryMs;  // the line works: a later loss is looked for quickly again
    if (deps_.feedBytes) deps_.feedBytes(count, buffer);
  }
}

// Bytes are taken only while there is a port: a client told that its bytes
// were taken must not have them dropped for want of a line. Auto-reset:
// settings that come before the writer wakes give one write.
void SerialLink::writerLoop(std::stop_token stop) {
  // The port is not held across the wait on the event: a hung-up port closes at once.
  while (port_.waitForPort(stop)) {
    if (writeEvent_.wait(std::nullopt, stop) != os::WaitResult::signalled) return;
    const std::shared_ptr<os::SerialPort> port = port_.load();
    if (!port) {
      writeEvent_.signal();  // the line went while we slept: the bytes wait for the next one
      continue;
    }
    sendWriteBlock(*port, stop);
  }
}

void SerialLink::sendWriteBlock(os::SerialPort& port, std::stop_token stop) {
  uint8_t bytes[SHUB_BLOCK_DATA_SIZE];
  const uint32_t length = loadBlockLength(writeBlock_.data());
  // A length word beyond the data area sends the data area, nothing more.
  const uint32_t count = std::min(length, SHUB_BLOCK_DATA_SIZE);
  loadBlockBytes(writeBlock_.data(), SHUB_BLOCK_DATA_OFFSET, bytes, count);
  const os::PortResult result = count > 0 ? port.write(bytes, count, stop) : os::PortResult{os::PortStatus::done};
  // A client that writes the block on its own, without waiting for the
  // outcome, may have put the next message in already: that one stays.
  if (!writeEvent_.signalled()) {
    tellOutcome(writeBlock_.data(), length, result.status == os::PortStatus::done && result.count == count);
  }
}

}  // namespace shub::router
