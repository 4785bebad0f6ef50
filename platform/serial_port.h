// The serial port "COM7:" to the peer: the node dev/COM7 below $CE_ROOT, a
// link to a tty or a pty, opened exclusively and raw at 19200 8N1. The other
// end going away is a hang-up, never an endless stream of empty reads; a wait
// ends at once on a stop. One reader and one writer at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

namespace ce {

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

// Opens the node `deviceName` ("COM7:", the colon optional) of $CE_ROOT/dev,
// found anew at each call. nullptr when it is missing, is not a terminal, or
// is taken (a second opener, here or elsewhere, fails).
std::unique_ptr<SerialPort> openSerialPort(const char* deviceName, PortOpenReport* report = nullptr);

}  // namespace ce
