// The serial port "COM7:" to the peer device. On this machine it is the node
// dev/COM7 below $CE_ROOT: a link to a tty or a pty. It is opened exclusively
// and run raw, so line discipline never mangles a byte; every terminal setting
// lives in serial_port.cpp.
//
// It must survive the other end going away at any moment (a pty whose master
// closes, a USB adapter pulled out): that is reported as a hang-up, never as
// an endless stream of empty reads, so the caller can close and reopen.
//
// SerialPort is an interface so that the serial link can be driven by a fake
// port in tests; openSerialPort() gives the real one.
#pragma once

#include <cstdint>
#include <memory>

namespace ce {

inline constexpr uint8_t kNoParity = 0;
inline constexpr uint8_t kOddParity = 1;
inline constexpr uint8_t kEvenParity = 2;
inline constexpr uint8_t kOneStopBit = 0;
inline constexpr uint8_t kTwoStopBits = 2;

// The line settings a caller may change; everything else is kept as read.
struct SerialSettings {
  uint32_t baudRate = 0;  // bits per second
  uint8_t dataBits = 8;   // 5 to 8
  uint8_t parity = kNoParity;
  uint8_t stopBits = kOneStopBit;
};

// Time-outs in milliseconds. A read interval of kReadReturnsAtOnce with both
// read totals 0 makes a read return at once with whatever is waiting. Writes
// take at most writeTotalMultiplier * count + writeTotalConstant (both 0: no
// limit). Otherwise a read waits up to readTotalMultiplier * size +
// readTotalConstant for its buffer to fill (both 0: no limit).
struct SerialTimeouts {
  uint32_t readInterval = 0;
  uint32_t readTotalMultiplier = 0;
  uint32_t readTotalConstant = 0;
  uint32_t writeTotalMultiplier = 0;
  uint32_t writeTotalConstant = 0;
};
inline constexpr uint32_t kReadReturnsAtOnce = 0xFFFFFFFF;

// Event mask bits.
inline constexpr uint32_t kEventCharReceived = 0x0001;

// Outcome of waitEvent(), read() and write().
struct PortResult {
  bool ok = false;      // the call did its job (a read with nothing waiting is ok, count 0)
  bool hangup = false;  // the line is gone for good: close the port
  uint32_t count = 0;   // bytes moved (read, write)
  uint32_t events = 0;  // events seen (waitEvent); 0 when woken by a mask change
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  virtual bool getSettings(SerialSettings& settings) = 0;
  virtual bool setSettings(const SerialSettings& settings) = 0;
  virtual bool getTimeouts(SerialTimeouts& timeouts) = 0;
  virtual bool setTimeouts(const SerialTimeouts& timeouts) = 0;

  // Sets the events waitEvent() reports. Also ends a waitEvent() in progress
  // (with events 0), from any thread: that is how a waiting reader is released.
  virtual bool setEventMask(uint32_t mask) = 0;

  // Blocks until an event of the mask, a mask change, a hang-up, or a stop
  // request for the calling platform thread (ok, events 0).
  virtual PortResult waitEvent() = 0;

  // Reads up to `size` bytes as the time-outs say.
  virtual PortResult read(uint8_t* buffer, uint32_t size) = 0;

  // Writes `count` bytes within the write time-out; a stop request for the
  // calling platform thread ends it early. One reader and one writer may use
  // the port at the same time.
  virtual PortResult write(const uint8_t* bytes, uint32_t count) = 0;

  // Clears the port's error state. A tty keeps none: framing and parity
  // errors arrive (or vanish) in the byte stream, so there is nothing to clear.
  virtual void clearErrors() = 0;
};

// Opens a serial device by its device name ("COM7:", the colon optional),
// found as the node of that name in $CE_ROOT/dev without regard to case and
// resolved anew on every call. The port is raw and exclusive: a second
// opener, here or in another process, fails. nullptr when the node is
// missing, is not a terminal, or is taken.
std::unique_ptr<SerialPort> openSerialPort(const char* deviceName);

}  // namespace ce
