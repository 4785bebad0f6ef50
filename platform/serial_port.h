// The serial port "COM7:" ($CE_ROOT/dev/COM7, a tty or pty), exclusive and raw
// at 19200 8N1, one reader and one writer at a time; a hang-up never gives
// endless empty reads, a stop ends a wait at once. Beside it, the pty whose
// master plays the peer (crtctl replay).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
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

enum class PtyStatus {
  done,      // the call did its job
  noReader,  // nobody held the slave open within the time given
  stopped,   // `*stop` became true first
  failed,    // `why` says why
};

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
  // Waits up to `timeout` for an opener of the slave; looks at `stop` (may be
  // null) at least every 100 ms.
  PtyStatus waitForReader(std::chrono::milliseconds timeout, const std::atomic<bool>* stop) const;
  // Writes all `count` bytes. A reader that does not take them makes it wait
  // as long as it takes, but never past `stop`; while nobody holds the slave it
  // waits up to `readerWait` for someone, as bytes written then are lost.
  PtyStatus write(const uint8_t* bytes, size_t count, std::chrono::milliseconds readerWait,
                  const std::atomic<bool>* stop, std::string* why) const;

 private:
  Pty(int master, std::string slave) : master_(master), slave_(std::move(slave)) {}
  short masterEvents(short wanted, int timeoutMs) const;

  int master_ = -1;
  std::string slave_;
};

}  // namespace shub::os
