// The serial port "COM7:" to the peer device. On this machine it is the node
// dev/COM7 below $CE_ROOT: a link to a tty or a pty. It is opened exclusively
// and raw at 19200 8N1, so line discipline never mangles a byte; every
// terminal setting lives in serial_port.cpp.
//
// It must survive the other end going away at any moment (a pty whose master
// closes, a USB adapter pulled out): that is reported as a hang-up, never as
// an endless stream of empty reads, so the caller can close and reopen. Every
// call that blocks ends at once when its stop token is stopped.
//
// SerialPort is an interface so that the serial link can be driven by a fake
// port in tests; openSerialPort() gives the real one. One reader and one
// writer may use a port at the same time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <stop_token>

namespace ce {

inline constexpr uint32_t kSerialBaudRate = 19200;
inline constexpr uint32_t kWriteMsPerByte = 40;   // a write may take this per byte
inline constexpr uint32_t kWriteConstantMs = 10;  // plus this

enum class PortStatus {
  done,     // the call did its job (count says how much)
  stopped,  // the stop token was stopped first
  hungUp,   // the line is gone for good: close the port
  failed,   // any other error
};

struct PortResult {
  PortStatus status = PortStatus::failed;
  uint32_t count = 0;  // bytes moved
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Waits until bytes arrive, then reads what is waiting, at most `size`
  // bytes (done with count > 0). A hang-up, or `stop` being stopped, also ends
  // the wait.
  virtual PortResult read(uint8_t* buffer, uint32_t size, std::stop_token stop) = 0;

  // Sends `count` bytes, taking at most kWriteMsPerByte a byte plus
  // kWriteConstantMs; count says how many went out. A stop ends it early.
  virtual PortResult write(const uint8_t* bytes, uint32_t count, std::stop_token stop) = 0;
};

// Opens a serial device by its device name ("COM7:", the colon optional),
// found as the node of that name in $CE_ROOT/dev without regard to case and
// resolved anew on every call, and sets it raw at 19200 8N1. A second opener,
// here or in another process, fails. nullptr when the node is missing, is not
// a terminal, or is taken.
// What an open found, for the operator: the node's path (empty when there is
// no node) and, when the open failed, why.
struct PortOpenReport {
  std::string path;
  std::string failure;  // "" when opened
};

std::unique_ptr<SerialPort> openSerialPort(const char* deviceName, PortOpenReport* report = nullptr);

}  // namespace ce
