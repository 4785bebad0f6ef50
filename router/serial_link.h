// The serial link to the peer on "COM7:": a reader thread that drains the
// port into the frame assembler, and a writer thread that sends whatever
// another process leaves in the write block "CRT:WRITE" when it sets
// "CRT:WRITE:EVENT".
//
// It must survive: no port at start (the reader looks for the node now and
// then, backing off to once a second), the port hanging up while the daemon
// runs (closed at once, reopened by path, frames flow again after a re-plug),
// a client's length word beyond the data area, and a shutdown that races the
// reader and the writer (both are stopped and joined before what they use is
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
#include <string>
#include <stop_token>
#include <thread>

#include "platform/log.h"
#include "platform/named_block.h"
#include "platform/named_event.h"
#include "platform/serial_port.h"

inline constexpr const char* kSerialPortName = "COM7:";
inline constexpr const char* kWriteBlockName = "CRT:WRITE";
inline constexpr const char* kWriteEventName = "CRT:WRITE:EVENT";

struct SerialLinkDeps {
  // Opens the port anew, resolving its node again and setting it up; nullptr
  // when the node is missing or taken, with the reason in the report. Called
  // by the start and by the reader when it looks for a lost port.
  std::function<std::unique_ptr<ce::SerialPort>(ce::PortOpenReport&)> openPort;
  // Told each change of the port's state, in words for an operator ("COM7
  // (/dev/ttyS1) open", "waiting for COM7"); never once per retry. Called on
  // the main thread at start, later on the reader thread.
  std::function<void(const std::string& state)> portState;
  // Told each hang-up, on the reader thread.
  std::function<void()> hungUp;
  // Hands received bytes, at most kReadSize at a time and in order, to the
  // frame assembler. Called only on the reader thread.
  std::function<void(uint32_t count, const uint8_t* bytes)> feedBytes;
};

// The real port: "COM7:" through the platform.
std::unique_ptr<ce::SerialPort> openComPort(ce::PortOpenReport& report);

// The port shared by the reader, the writer and the main thread. Holders keep
// their own reference, so a thread still writing or reading keeps the
// descriptor open: a closed descriptor number could be reused by another file
// at once. (A mutex rather than std::atomic<std::shared_ptr>: libstdc++'s
// version hides its lock from ThreadSanitizer. It is held only to copy the
// pointer, never across I/O.)
class PortSlot {
 public:
  std::shared_ptr<ce::SerialPort> load() const {
    std::lock_guard lock(mutex_);
    return port_;
  }
  void store(std::shared_ptr<ce::SerialPort> port) {
    {
      std::lock_guard lock(mutex_);
      port_.swap(port);
    }
    // `port` holds the old one here and closes it outside the lock.
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<ce::SerialPort> port_;
};

class SerialLink {
 public:
  static constexpr uint32_t kReadSize = 260;     // one read, one feedBytes() call at most
  static constexpr uint32_t kFirstRetryMs = 50;  // first look for a missing or lost port
  static constexpr uint32_t kMaxRetryMs = 1000;  // the back-off never waits longer

  explicit SerialLink(SerialLinkDeps deps);
  ~SerialLink();  // stops the link if it still runs
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Creates the write event and block, starts the writer, opens the port and
  // starts the reader. Always non-zero: every failure leaves the daemon
  // running without serial traffic.
  int startSerialLink();
  // Stops and joins the writer, then the reader, closes the port, and
  // releases the write block and event. Once it returns nothing is fed or
  // written. Safe to call twice.
  void stopSerialLink();

  // For tests and diagnostics.
  bool portOpen() const { return port_.load() != nullptr; }

 private:
  void readerLoop(std::stop_token stop);
  void writerLoop(std::stop_token stop);
  void lookForPort(uint32_t& retryMs, std::stop_token stop);
  std::unique_ptr<ce::SerialPort> openAndSay();
  void say(ce::LogLevel level, const std::string& line, const std::string& state);

  SerialLinkDeps deps_;
  PortSlot port_;         // the open port, or null (the invalid handle)
  bool running_ = false;  // main thread only

  ce::EventHandle writeEvent_;  // "CRT:WRITE:EVENT"
  ce::NamedBlock writeBlock_;   // "CRT:WRITE"
  ce::BlockView writeView_;
  std::jthread writer_;
  std::jthread reader_;
  std::string lastSaid_;  // the port's last state said; start, then the reader thread
};
