// The serial link to the peer on "COM7:": a reader thread that drains the
// port into the frame assembler, and a writer thread that sends whatever
// another process leaves in the write block "CRT:WRITE" when it sets
// "CRT:WRITE:EVENT".
//
// It must survive: no port at start (the reader idles and looks for the node
// now and then), the port hanging up while the daemon runs (closed at once,
// reopened by path with a back-off of at most 1 s, frames flow again after a
// re-plug), a client's length word beyond the data area, and a shutdown that
// races the reader and the writer (both are stopped before what they use is
// released).
//
// The port and the assembler are handed in, so tests drive the link with a
// fake port and a recording assembler.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/named_block.h"
#include "platform/named_event.h"
#include "platform/serial_port.h"
#include "platform/thread.h"

inline constexpr const char* kSerialPortName = "COM7:";
inline constexpr const char* kWriteBlockName = "CRT:WRITE";
inline constexpr const char* kWriteEventName = "CRT:WRITE:EVENT";

struct SerialLinkDeps {
  // Opens the port anew, resolving its node again; nullptr when the node is
  // missing or taken. Called by start-up and by the reader when it reopens.
  std::function<std::unique_ptr<ce::SerialPort>()> openPort;
  // Hands received bytes, at most kReadSize at a time and in order, to the
  // frame assembler. Called only on the reader thread.
  std::function<void(uint32_t count, const uint8_t* bytes)> feedBytes;
};

// The real port: "COM7:" through the platform.
std::unique_ptr<ce::SerialPort> openComPort();

// The port handle shared by the reader, the writer and the main thread: each
// operation is indivisible. Holders keep their own reference, so a thread
// still writing or reading keeps the descriptor open: a closed descriptor
// number could be reused by another file at once. (A mutex rather than
// std::atomic<std::shared_ptr>: libstdc++'s version hides its lock from
// ThreadSanitizer. It is held only to copy the pointer, never across I/O.)
class PortSlot {
 public:
  std::shared_ptr<ce::SerialPort> load() const {
    std::lock_guard lock(mutex_);
    return port_;
  }
  void store(std::shared_ptr<ce::SerialPort> port) { exchange(std::move(port)); }
  std::shared_ptr<ce::SerialPort> exchange(std::shared_ptr<ce::SerialPort> port) {
    std::lock_guard lock(mutex_);
    port_.swap(port);
    return port;  // released by the caller, outside the lock
  }
  // Replaces `expected` by `desired`; false (and no change) when the slot holds another.
  bool replace(const std::shared_ptr<ce::SerialPort>& expected, std::shared_ptr<ce::SerialPort> desired) {
    std::unique_lock lock(mutex_);
    if (port_ != expected) return false;
    port_.swap(desired);
    lock.unlock();
    return true;  // `desired` now holds the old port and closes it here, outside the lock
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<ce::SerialPort> port_;
};

class SerialLink {
 public:
  static constexpr uint32_t kBaudRate = 19200;
  static constexpr uint32_t kReadSize = 260;        // one read, one feedBytes() call
  static constexpr uint32_t kWriteMsPerByte = 40;   // write total multiplier
  static constexpr uint32_t kWriteConstantMs = 10;  // write total constant
  static constexpr uint32_t kReaderStopWaitMs = 2000;
  static constexpr uint32_t kFirstRetryMs = 50;     // first look for a missing or lost port
  static constexpr uint32_t kMaxRetryMs = 1000;     // the back-off never waits longer

  explicit SerialLink(SerialLinkDeps deps);
  ~SerialLink();  // stops the link if it still runs
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Creates the events and the write block, starts the writer and the reader,
  // opens the port. Always non-zero: every failure leaves the daemon running
  // without serial traffic.
  int startSerialLink();
  // Sets 19200 8N1, the time-outs and the event mask on the current port, and
  // wakes the reader. Always 1.
  int configureSerialPort();
  // Stops the writer, releases and closes the port, ends the reader (waiting
  // up to 2 s for its done event, then until it has returned), releases the
  // events and the write block. Safe to call twice.
  void stopSerialLink();

  // For tests and diagnostics.
  bool portOpen() const { return port_.load() != nullptr; }
  uint32_t portOpenCount() const { return portOpens_.load(); }

 private:
  void readerLoop();
  void writerLoop();
  void idleWithoutPort(uint32_t& retryMs);
  bool reopenPort();
  bool installPort(std::unique_ptr<ce::SerialPort> opened);
  void dropPort(const std::shared_ptr<ce::SerialPort>& port);
  void drainPort(const std::shared_ptr<ce::SerialPort>& port, uint32_t& retryMs);
  void releaseObjects();

  SerialLinkDeps deps_;
  PortSlot port_;  // the open port, or null (the invalid handle)
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> portOpens_{0};
  bool running_ = false;  // main thread only

  ce::NamedEvent* readerDone_ = nullptr;  // set by the reader as it ends
  ce::NamedEvent* portReady_ = nullptr;   // wakes a reader that has no port
  // Kept for the port driver's overlapped requests; a tty needs none, so
  // nothing waits on it or sets it.
  ce::NamedEvent* ioEvent_ = nullptr;
  ce::NamedEvent* writeEvent_ = nullptr;  // "CRT:WRITE:EVENT"
  ce::NamedBlock writeBlock_;             // "CRT:WRITE"
  uint8_t* writeAddress_ = nullptr;
  ce::Thread* reader_ = nullptr;
  ce::Thread* writer_ = nullptr;
};
