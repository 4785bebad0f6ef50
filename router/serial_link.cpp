// The serial link's threads and their start and stop. The reader turns port
// events into feedBytes() calls; the writer turns settings of the write event
// into port writes. What it must survive is listed in serial_link.h; the
// choices made here where the daemon's original behaviour was unsafe are
// marked "Mended".
#include "router/serial_link.h"

#include <algorithm>
#include <utility>

#include "platform/clock.h"
#include "platform/lock_record.h"
#include "router/channel_block.h"

std::unique_ptr<ce::SerialPort> openComPort() { return ce::openSerialPort(kSerialPortName); }

namespace {

// 19200 8N1, reads that return at once with what is waiting, writes bounded
// by 40 ms a byte plus 10 ms, and events on received characters. Everything
// else is kept as read.
void applyPortSettings(ce::SerialPort& port) {
  ce::SerialSettings settings;
  if (port.getSettings(settings)) {
    settings.baudRate = SerialLink::kBaudRate;
    settings.dataBits = 8;
    settings.parity = ce::kNoParity;
    settings.stopBits = ce::kOneStopBit;
    port.setSettings(settings);
  }
  ce::SerialTimeouts timeouts;
  if (port.getTimeouts(timeouts)) {
    timeouts.readInterval = ce::kReadReturnsAtOnce;
    timeouts.readTotalMultiplier = 0;
    timeouts.readTotalConstant = 0;
    timeouts.writeTotalMultiplier = SerialLink::kWriteMsPerByte;
    timeouts.writeTotalConstant = SerialLink::kWriteConstantMs;
    port.setTimeouts(timeouts);
  }
  port.setEventMask(ce::kEventCharReceived);
}

uint32_t nextRetry(uint32_t retryMs) { return std::min(retryMs * 2, SerialLink::kMaxRetryMs); }

}  // namespace

SerialLink::SerialLink(SerialLinkDeps deps) : deps_(std::move(deps)) {}

SerialLink::~SerialLink() { stopSerialLink(); }

int SerialLink::startSerialLink() {
  if (running_) return 1;
  running_ = true;
  readerDone_ = ce::createEvent(nullptr, false);
  portReady_ = ce::createEvent(nullptr, true);
  ioEvent_ = ce::createEvent(nullptr, false);
  writeEvent_ = ce::createEvent(kWriteEventName, false);
  // Bytes a client left while no daemon ran are not sent: their signal is stale.
  ce::resetEvent(writeEvent_);

  writeBlock_ = ce::openOrCreateBlock(kWriteBlockName, kChannelBlockSize);
  if (!writeBlock_.valid()) return 1;  // no writer, no reader, no port
  writeAddress_ = ce::mapBlock(writeBlock_);
  if (!writeAddress_) return 1;

  // The lock record is built privately and stored byte by byte: other
  // processes may already have the block mapped.
  ce::LockRecord lock{};
  ce::initLockRecord(lock);
  storeBlockBytes(writeAddress_, kBlockLockOffset, reinterpret_cast<const uint8_t*>(&lock), kBlockLockSize);

  // Mended: the writer's handle is kept (not closed at once), so shutdown can
  // stop it before the port goes away.
  writer_ = ce::startThread([this] { writerLoop(); });

  port_.store(nullptr);
  stop_.store(false);
  reader_ = ce::startThread([this] { readerLoop(); });
  installPort(deps_.openPort ? deps_.openPort() : nullptr);
  return 1;
}

int SerialLink::configureSerialPort() {
  if (const std::shared_ptr<ce::SerialPort> port = port_.load()) applyPortSettings(*port);
  ce::setEvent(portReady_);
  return 1;
}

void SerialLink::stopSerialLink() {
  if (!running_) return;
  running_ = false;
  stop_.store(true);
  ce::setEvent(portReady_);

  // Mended: the writer is stopped first; it could otherwise write to a port
  // that is being closed. A stop request wakes it from its event wait or from
  // a write that waits for room.
  ce::closeThread(writer_);
  writer_ = nullptr;

  if (const std::shared_ptr<ce::SerialPort> port = port_.exchange(nullptr)) {
    port->setEventMask(0);  // ends the reader's wait for a port event
  }
  if (reader_) {
    ce::waitEvent(readerDone_, kReaderStopWaitMs);
    // Mended: the reader is stopped and joined whatever the 2 s wait gave, so
    // it never feeds the assembler after the channel blocks are released.
    ce::closeThread(reader_);
    reader_ = nullptr;
  }
  port_.store(nullptr);  // a port the reader reopened while we stopped it
  releaseObjects();
}

void SerialLink::releaseObjects() {
  if (writeAddress_) ce::unmapBlock(writeAddress_, kChannelBlockSize);
  writeAddress_ = nullptr;
  ce::closeBlock(writeBlock_);
  for (ce::NamedEvent** event : {&readerDone_, &portReady_, &ioEvent_, &writeEvent_}) {
    ce::closeEvent(*event);
    *event = nullptr;
  }
}

bool SerialLink::installPort(std::unique_ptr<ce::SerialPort> opened) {
  if (!opened) return false;
  if (!port_.replace(nullptr, std::shared_ptr<ce::SerialPort>(std::move(opened)))) return false;  // someone else has it
  portOpens_.fetch_add(1);
  return true;
}

void SerialLink::dropPort(const std::shared_ptr<ce::SerialPort>& port) {
  port_.replace(port, nullptr);
}

// A lost port is looked for again by path, set up the same way as at start.
bool SerialLink::reopenPort() {
  std::unique_ptr<ce::SerialPort> opened = deps_.openPort ? deps_.openPort() : nullptr;
  if (!opened) return false;
  applyPortSettings(*opened);
  if (!installPort(std::move(opened))) return false;
  if (stop_.load()) port_.store(nullptr);
  return true;
}

// No port: sleep on the port-ready event. Start-up sets it once the port is
// configured; otherwise the wait times out and the node is looked for again,
// backing off to one look a second, so an absent port costs nothing.
void SerialLink::idleWithoutPort(uint32_t& retryMs) {
  const ce::WaitResult woke = ce::waitEvent(portReady_, retryMs);
  if (woke == ce::WaitResult::failed) ce::pauseMs(retryMs);  // no event: the pause still bounds the loop
  if (stop_.load() || ce::stopRequested() || woke == ce::WaitResult::signalled) return;
  if (!reopenPort()) retryMs = nextRetry(retryMs);
}

// Reads until nothing is waiting. Each read is at most kReadSize bytes, fed
// in order. A hang-up or failed read drops the port at once: a dead line
// would otherwise report "readable" for ever and make this loop spin.
void SerialLink::drainPort(const std::shared_ptr<ce::SerialPort>& port, uint32_t& retryMs) {
  uint8_t buffer[kReadSize];
  while (port_.load() == port) {
    const ce::PortResult got = port->read(buffer, kReadSize);
    if (!got.ok) {
      dropPort(port);
      return;
    }
    const uint32_t count = std::min(got.count, kReadSize);
    if (count == 0 || stop_.load()) return;
    retryMs = kFirstRetryMs;  // the line works: a later loss is looked for quickly again
    if (deps_.feedBytes) deps_.feedBytes(count, buffer);
  }
}

void SerialLink::readerLoop() {
  uint32_t retryMs = kFirstRetryMs;
  while (!stop_.load() && !ce::stopRequested()) {
    const std::shared_ptr<ce::SerialPort> port = port_.load();
    if (!port) {
      idleWithoutPort(retryMs);
      continue;
    }
    const ce::PortResult event = port->waitEvent();
    if (!event.ok) {
      // Hung up (or the wait itself failed): close now, reopen after the back-off.
      dropPort(port);
      continue;
    }
    if ((event.events & ce::kEventCharReceived) && port_.load() == port) drainPort(port, retryMs);
    port->clearErrors();
  }
  ce::setEvent(readerDone_);
}

void SerialLink::writerLoop() {
  uint8_t bytes[kBlockDataSize];
  for (;;) {
    const ce::WaitResult woke = ce::waitEvent(writeEvent_, ce::kInfinite);
    if (woke == ce::WaitResult::stopped || woke == ce::WaitResult::failed || ce::stopRequested()) return;
    if (woke != ce::WaitResult::signalled) continue;
    // Mended: a length word above the data area sends the 260 bytes of the
    // data area; nothing beyond the block is ever read.
    const uint32_t count = std::min(loadBlockLength(writeAddress_), kBlockDataSize);
    loadBlockBytes(writeAddress_, kBlockDataOffset, bytes, count);
    const std::shared_ptr<ce::SerialPort> port = port_.load();
    if (port && count > 0) port->write(bytes, count);  // the outcome is not looked at
  }
}
