// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The serial port "COM7:" ($CE_ROOT/dev/COM7, a tty or pty), exclusive and raw
// at 19200 8N1, one reader and one writer at a time; a hang-up never gives
// endless empty reads, a stop ends a wait at once. Beside it, the pty whose
// master plays the peer (crtctl replay).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace shub::os {

enum class PortStatus {
  done,     // the call did its job (count says how much)
  stopped,  // the stop token was stopped first
  hungUp,   // the line is gone or broken: close the port
};

struct PortResult {
  PortStatus status = PortStatus::hungUp;
  uint32_t count = 0;  // bytes moved
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Waits until bytes arrive, then reads what is waiting, at most `size`.
  virtual PortResult read(uint8_t* buffer, uint32_t size, std::stop_token stop) = 0;

  // Sends `count` bytes within 40 ms a byte plus 10 ms; count says how many went out.
  virtual PortResult write(const uint8_t* bytes, uint32_t count, std::stop_token stop) = 0;
};

// What an open found, for the operator.
struct PortOpenReport {
  std::string path;     // the node's, "" when there is none
  std::string failure;  // "" when opened
};

// Opens $CE_ROOT/dev/`deviceName` ("COM7:", colon optional), found anew each call;
// nullptr when missing, not a terminal, or taken (a second opener anywhere fails).
std::unique_ptr<SerialPort> openSerialPort(const char* deviceName, PortOpenReport* report = nullptr);

// A pty whose master plays the peer; the master is raw, non-blocking and
// close-on-exec. Destroying it hangs the line up for whoever holds the slave.
class Pty {
 public:
  // nullptr with `why` when no pty could be had. The master shows from the
  // start whether anyone holds the slave open.
  static std::unique_ptr<Pty> open(std::string* why);
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& slave() const { return slave_; }  // /dev/pts/N, for a link
  // True while another opener holds the slave (the daemon took the line).
  bool hasReader() const;
  // What the master took of `bytes` now (0 when it is full), or nullopt with `why`.
  std::optional<size_t> writeSome(const uint8_t* bytes, size_t count, std::string* why) const;
  // Waits up to `timeout` for room to write, a hang-up or a signal.
  void waitForRoom(std::chrono::milliseconds timeout) const;

 private:
  Pty(int master, std::string slave) : master_(master), slave_(std::move(slave)) {}

  int master_ = -1;
  std::string slave_;
};

}  // namespace shub::os
