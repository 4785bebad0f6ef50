// The serial link's threads and their start and stop: the reader turns bytes
// on the port into feedBytes() calls, the writer turns settings of the write
// event into port writes.
#include "router/serial_link.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/lock_record.h"
#include "router/channel_block.h"

std::unique_ptr<ce::SerialPort> openComPort(ce::PortOpenReport& report) {
  return ce::openSerialPort(kSerialPortName, &report);
}

namespace {

constexpr const char* kNodeName = "COM7";

std::string named(const ce::PortOpenReport& report) {
  return report.path.empty() ? kNodeName : std::string(kNodeName) + " (" + report.path + ")";
}

}  // namespace

SerialLink::SerialLink(SerialLinkDeps deps) : deps_(std::move(deps)) {}

SerialLink::~SerialLink() { stopSerialLink(); }

int SerialLink::startSerialLink() {
  if (running_) return 1;
  running_ = true;
  writeEvent_.reset(ce::createEvent(kWriteEventName, false));
  // Bytes a client left while no daemon ran are stale: not sent.
  ce::resetEvent(writeEvent_.get());

  writeBlock_ = ce::openOrCreateBlock(kWriteBlockName, kChannelBlockSize);
  if (!writeBlock_.valid()) return 1;  // no writer, no reader, no port
  writeView_ = ce::BlockView(writeBlock_);
  if (!writeView_.get()) return 1;

  // Stored byte by byte: other processes may have the block mapped already.
  ce::LockRecord lock{};
  ce::initLockRecord(lock);
  storeBlockBytes(writeView_.get(), kBlockLockOffset, reinterpret_cast<const uint8_t*>(&lock), kBlockLockSize);

  writer_ = ce::startThread([this](std::stop_token stop) { writerLoop(stop); });
  port_.store(openAndSay());  // before the reader, which then finds it at once
  reader_ = ce::startThread([this](std::stop_token stop) { readerLoop(stop); });
  return 1;
}

void SerialLink::stopSerialLink() {
  if (!running_) return;
  running_ = false;
  // The writer first, so it never writes to a port being closed; the reader
  // before the caller releases the assembler and the blocks it feeds.
  ce::stopThread(writer_);
  ce::stopThread(reader_);
  port_.store(nullptr);
  writeView_ = {};
  ce::closeBlock(writeBlock_);
  writeEvent_.reset();
}

// No port: wait out the back-off (doubling up to a second), then look again.
void SerialLink::lookForPort(uint32_t& retryMs, std::stop_token stop) {
  ce::pauseMs(retryMs, stop);
  if (stop.stop_requested()) return;
  std::unique_ptr<ce::SerialPort> opened = openAndSay();
  if (!opened) {
    retryMs = std::min(retryMs * 2, kMaxRetryMs);
    return;
  }
  port_.store(std::move(opened));
}

// One line per change of state: a port missing for an hour is said once.
std::unique_ptr<ce::SerialPort> SerialLink::openAndSay() {
  ce::PortOpenReport report;
  std::unique_ptr<ce::SerialPort> port = deps_.openPort ? deps_.openPort(report) : nullptr;
  if (port) {
    say(ce::LogLevel::info, named(report) + ": opened", named(report) + " open");
  } else {
    say(ce::LogLevel::warning, named(report) + ": " + report.failure, std::string("waiting for ") + kNodeName);
  }
  return port;
}

void SerialLink::say(ce::LogLevel level, const std::string& line, const std::string& state) {
  if (line == lastSaid_) return;
  lastSaid_ = line;
  ce::logLine(level, line);
  if (deps_.portState) deps_.portState(state);
}

// A hang-up or failed read drops the port at once: a dead line would report
// "readable" for ever and make this loop spin.
void SerialLink::readerLoop(std::stop_token stop) {
  uint32_t retryMs = kFirstRetryMs;
  uint8_t buffer[kReadSize];
  while (!stop.stop_requested()) {
    const std::shared_ptr<ce::SerialPort> port = port_.load();
    if (!port) {
      lookForPort(retryMs, stop);
      continue;
    }
    const ce::PortResult got = port->read(buffer, kReadSize, stop);
    if (got.status == ce::PortStatus::stopped) return;
    if (got.status != ce::PortStatus::done) {
      port_.store(nullptr);  // closed here, or by the writer as it lets go
      say(ce::LogLevel::warning, std::string(kNodeName) + ": hung up; looking for it again",
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

void SerialLink::writerLoop(std::stop_token stop) {
  uint8_t bytes[kBlockDataSize];
  // Auto-reset: settings that come before the writer wakes give one write.
  while (ce::waitEvent(writeEvent_.get(), ce::kInfinite, stop) == ce::WaitResult::signalled) {
    // A length word beyond the data area sends the data area, nothing more.
    const uint32_t count = std::min(loadBlockLength(writeView_.get()), kBlockDataSize);
    loadBlockBytes(writeView_.get(), kBlockDataOffset, bytes, count);
    const std::shared_ptr<ce::SerialPort> port = port_.load();
    if (port && count > 0) port->write(bytes, count, stop);  // the outcome is not looked at
  }
}
