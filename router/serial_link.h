// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The serial link to the peer on "COM7:": a reader thread that drains the
// port into the frame assembler, and a writer thread that sends what another
// process leaves in the write block "CRT:WRITE" when it sets its event.
//
// It must survive: no port at start and a port that hangs up (looked for
// again, backing off to once a second), a client's length word beyond the
// data area, a write block another process spoiled (no writer, said once),
// and a shutdown racing both threads (they are joined before what they use
// is released, the reader waited for at most 2 s). Port and assembler are
// handed in, so tests can fake them.
//
// The write block holds one message at a time. The writer takes it only
// while there is a port to send it on, and once the port has the bytes (or
// its write time-out passed) writes the outcome into the length word, unless
// a next message was announced meanwhile: that tells the client library
// whether its message went out, and that the next may go in. Library writers
// take turns by the block file's flock, which they hold from before they look
// until their outcome is known (serialhub/protocol.h).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <stop_token>
#include <thread>

#include <serialhub/protocol.h>

#include "platform/log.h"
#include "platform/named_objects.h"
#include "platform/serial_port.h"

namespace shub::router {

inline constexpr const char* kSerialPortName = SHUB_SERIAL_NODE ":";

struct SerialLinkDeps {
  // Opens the port anew (node resolved again); nullptr with the reason in
  // the report. Called at start and by the reader looking for a lost port.
  std::function<std::unique_ptr<os::SerialPort>(os::PortOpenReport&)> openPort;
  // Each change of the port's state in an operator's words ("waiting for
  // COM7"), never once per retry; main thread at start, then the reader.
  std::function<void(const std::string& state)> portState;
  std::function<void()> hungUp;  // on the reader thread
  // Received bytes in order, at most kReadSize at a time; reader thread only.
  std::function<void(uint32_t count, const uint8_t* bytes)> feedBytes;
};

// The real port: "COM7:" through the platform.
std::unique_ptr<os::SerialPort> openComPort(os::PortOpenReport& report);

// The port shared by reader, writer and main thread. Each holder keeps its own
// reference, so a descriptor in use is never closed (and its number reused).
// A mutex, not std::atomic<std::shared_ptr>: libstdc++'s hides its lock from
// ThreadSanitizer. Held only to copy the pointer, never across I/O.
class PortSlot {
 public:
  std::shared_ptr<os::SerialPort> load() const {
    std::lock_guard lock(mutex_);
    return port_;
  }
  // Sleeps until there is a port; false when `stop` came first.
  bool waitForPort(std::stop_token stop) const {
    std::unique_lock lock(mutex_);
    return changed_.wait(lock, stop, [this] { return port_ != nullptr; });
  }
  void store(std::shared_ptr<os::SerialPort> port) {
    {
      std::lock_guard lock(mutex_);
      port_.swap(port);
    }
    changed_.notify_all();
    // `port` now holds the old one and closes it outside the lock.
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable_any changed_;
  std::shared_ptr<os::SerialPort> port_;
};

class SerialLink {
 public:
  static constexpr uint32_t kReadSize = SHUB_TAP_READ_MAX;  // one read, one feedBytes() call at most
  static constexpr uint32_t kFirstRetryMs = 50;  // first look for a missing or lost port
  static constexpr uint32_t kMaxRetryMs = 1000;  // the back-off never waits longer
  static constexpr uint32_t kReaderStopMs = 2000;  // how long a stop waits for the reader

  explicit SerialLink(SerialLinkDeps deps);
  ~SerialLink();  // stops the link if it still runs
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Creates the write event and block, starts the writer, opens the port and
  // starts the reader. Always non-zero: without the write block the daemon
  // runs on without serial writes, without a port it waits for one.
  int startSerialLink();
  // Joins the writer, then the reader, closes the port, releases the write
  // block and event; nothing is fed or written afterwards. Safe to call twice.
  // False when the reader did not end within kReaderStopMs (said once): it is
  // left running with everything it uses, which only the process's end may
  // release; the destructor waits for it.
  bool stopSerialLink();

  bool portOpen() const { return port_.load() != nullptr; }

 private:
  void startWriter();
  void readerLoop(std::stop_token stop);
  void writerLoop(std::stop_token stop);
  void sendWriteBlock(os::SerialPort& port, std::stop_token stop);
  void lookForPort(uint32_t& retryMs, std::stop_token stop);
  std::unique_ptr<os::SerialPort> openAndSay();
  void say(os::LogLevel level, const std::string& line, const std::string& state);

  SerialLinkDeps deps_;
  PortSlot port_;         // the open port, or null
  bool running_ = false;  // main thread only

  os::Event writeEvent_;  // SHUB_WRITE_EVENT_NAME
  os::Block writeBlock_;  // SHUB_WRITE_BLOCK_NAME
  std::jthread writer_;
  std::jthread reader_;
  std::binary_semaphore readerEnded_{0};  // released by the reader as it returns
  bool readerLeft_ = false;               // the reader outlived a stop
  std::string lastSaid_;  // the port's last state said; start, then the reader thread
};

}  // namespace shub::router
