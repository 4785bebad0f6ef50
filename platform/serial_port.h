// The serial port "COM7:" ($CE_ROOT/dev/COM7, a tty or pty), exclusive and raw
// at 19200 8N1, one reader and one writer at a time; a hang-up never gives
// endless empty reads, a stop ends a wait at once. Beside it, the pty whose
// master plays the peer (crtctl replay).
#pragma once

#include <cstddef>
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

// Opens $CE_ROOT/dev/`deviceName` ("COM7:", colon optional), found anew each call;
// nullptr when missing, not a terminal, or taken (a second opener anywhere fails).
std::unique_ptr<SerialPort> openSerialPort(const char* deviceName, PortOpenReport* report = nullptr);

struct Pty {
  int master = -1;    // raw, close-on-exec; -1 when closed
  std::string slave;  // /dev/pts/N, for a link
};

// False with errno set when no pty could be had.
bool openPty(Pty& out);
// Closing the master hangs the line up for whoever holds the slave.
void closePty(Pty& pty);
// Writes all `count` bytes; false with errno set on failure.
bool writePty(const Pty& pty, const uint8_t* bytes, size_t count);

}  // namespace ce
