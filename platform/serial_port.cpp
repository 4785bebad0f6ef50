// The serial port on a Linux tty or pty, and the one place that knows about
// termios. It must survive: a node that is missing or is not a terminal, a
// second opener (refused), the other end closing (reported as a hang-up, with
// no busy loop left behind), a writer stuck behind a full output queue
// (bounded by the write time-out), and a thread asked to stop while it waits
// (its platform stop hook wakes it through an eventfd).
#include "platform/serial_port.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "platform/paths.h"
#include "platform/thread.h"

namespace ce {

namespace {

struct BaudCode {
  uint32_t baud;
  speed_t code;
};

constexpr BaudCode kBauds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool baudToCode(uint32_t baud, speed_t& code) {
  for (const BaudCode& entry : kBauds) {
    if (entry.baud == baud) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

uint32_t codeToBaud(speed_t code) {
  for (const BaudCode& entry : kBauds) {
    if (entry.code == code) return entry.baud;
  }
  return 0;
}

int64_t nowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds left before `deadline` (-1: none) as a poll() time-out.
int remainingMs(int64_t deadline) {
  if (deadline < 0) return -1;
  const int64_t left = deadline - nowMs();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

void signalEventFd(int fd) {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(fd, &one, sizeof one);
}

void drainEventFd(int fd) {
  uint64_t value = 0;
  [[maybe_unused]] const ssize_t ignored = ::read(fd, &value, sizeof value);
}

// Stop hook: wakes the poll() of a platform thread asked to stop.
void wakeFromStop(void* context) { signalEventFd(*static_cast<const int*>(context)); }

// Installs the stop hook for the life of one blocking call. The hook is
// removed before the port can go away (setStopHook waits out a running hook).
class StopWakeScope {
 public:
  explicit StopWakeScope(const int* eventFd) { setStopHook({wakeFromStop, const_cast<int*>(eventFd)}); }
  ~StopWakeScope() { setStopHook({}); }
  StopWakeScope(const StopWakeScope&) = delete;
  StopWakeScope& operator=(const StopWakeScope&) = delete;
};

bool isHangupErrno(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE; }

// Raw line: no echo, no line editing, no translation of CR/LF, no signals,
// no software or hardware flow control; the modem lines are ignored and the
// receiver is on. A read with nothing waiting answers EAGAIN (the descriptor
// is non-blocking and VMIN is 1), so a read of 0 bytes only ever means a
// hang-up.
void makeRaw(termios& settings) {
  cfmakeraw(&settings);
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
}

class TtyPort final : public SerialPort {
 public:
  TtyPort(int fd, int maskWake, int writeWake) : fd_(fd), maskWake_(maskWake), writeWake_(writeWake) {}

  ~TtyPort() override {
    ioctl(fd_, TIOCNXCL);  // a pty's slave keeps the flag for as long as its master lives
    close(fd_);            // also drops the flock
    close(maskWake_);
    close(writeWake_);
  }
  TtyPort(const TtyPort&) = delete;
  TtyPort& operator=(const TtyPort&) = delete;

  bool getSettings(SerialSettings& settings) override {
    termios current{};
    if (tcgetattr(fd_, &current) != 0) return false;
    settings.baudRate = codeToBaud(cfgetospeed(&current));
    switch (current.c_cflag & CSIZE) {
      case CS5: settings.dataBits = 5; break;
      case CS6: settings.dataBits = 6; break;
      case CS7: settings.dataBits = 7; break;
      default: settings.dataBits = 8; break;
    }
    settings.parity = (current.c_cflag & PARENB) ? ((current.c_cflag & PARODD) ? kOddParity : kEvenParity)
                                                 : kNoParity;
    settings.stopBits = (current.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
    return true;
  }

  bool setSettings(const SerialSettings& settings) override {
    termios next{};
    if (tcgetattr(fd_, &next) != 0) return false;
    speed_t speed = 0;
    if (!baudToCode(settings.baudRate, speed)) return false;
    if (settings.dataBits < 5 || settings.dataBits > 8) return false;
    cfsetispeed(&next, speed);
    cfsetospeed(&next, speed);
    constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    next.c_cflag = (next.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kSizes[settings.dataBits - 5];
    next.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSTOPB);
    if (settings.parity == kOddParity) next.c_cflag |= PARENB | PARODD;
    if (settings.parity == kEvenParity) next.c_cflag |= PARENB;
    if (settings.stopBits == kTwoStopBits) next.c_cflag |= CSTOPB;
    return tcsetattr(fd_, TCSANOW, &next) == 0;
  }

  bool getTimeouts(SerialTimeouts& timeouts) override {
    timeouts.readInterval = readInterval_.load();
    timeouts.readTotalMultiplier = readMultiplier_.load();
    timeouts.readTotalConstant = readConstant_.load();
    timeouts.writeTotalMultiplier = writeMultiplier_.load();
    timeouts.writeTotalConstant = writeConstant_.load();
    return true;
  }

  bool setTimeouts(const SerialTimeouts& timeouts) override {
    readInterval_.store(timeouts.readInterval);
    readMultiplier_.store(timeouts.readTotalMultiplier);
    readConstant_.store(timeouts.readTotalConstant);
    writeMultiplier_.store(timeouts.writeTotalMultiplier);
    writeConstant_.store(timeouts.writeTotalConstant);
    return true;
  }

  bool setEventMask(uint32_t mask) override {
    mask_.store(mask);
    signalEventFd(maskWake_);
    return true;
  }

  PortResult waitEvent() override {
    StopWakeScope wake(&maskWake_);
    for (;;) {
      if (stopRequested()) return {.ok = true};
      // Hang-ups (POLLHUP, POLLERR) are reported whatever is asked for, so a
      // dead line ends the wait even with an empty mask.
      pollfd fds[2] = {{fd_, static_cast<short>((mask_.load() & kEventCharReceived) ? POLLIN : 0), 0},
                       {maskWake_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return {};
      }
      if (fds[1].revents & POLLIN) {
        drainEventFd(maskWake_);
        return {.ok = true};
      }
      if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return {.hangup = true};
      if (fds[0].revents & POLLIN) return {.ok = true, .events = kEventCharReceived};
    }
  }

  PortResult read(uint8_t* buffer, uint32_t size) override {
    if (size == 0) return {.ok = true};
    const uint32_t interval = readInterval_.load();
    const uint32_t multiplier = readMultiplier_.load();
    const uint32_t constant = readConstant_.load();
    if (interval == kReadReturnsAtOnce && multiplier == 0 && constant == 0) return readOnce(buffer, size);
    return readUntil(buffer, size, multiplier, constant);
  }

  PortResult write(const uint8_t* bytes, uint32_t count) override {
    const uint64_t limit =
        static_cast<uint64_t>(writeMultiplier_.load()) * count + writeConstant_.load();
    const int64_t deadline = limit == 0 ? -1 : nowMs() + static_cast<int64_t>(limit);
    StopWakeScope wake(&writeWake_);
    uint32_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(fd_, bytes + done, count - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return {.ok = false, .hangup = isHangupErrno(errno), .count = done};
      if (stopRequested()) break;
      pollfd fds[2] = {{fd_, POLLOUT, 0}, {writeWake_, POLLIN, 0}};
      const int ready = poll(fds, 2, remainingMs(deadline));
      if (ready == 0) break;  // time-out: the caller gets what went out
      if (ready < 0 && errno != EINTR) return {.count = done};
      if (fds[1].revents & POLLIN) drainEventFd(writeWake_);
      if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return {.hangup = true, .count = done};
    }
    return {.ok = true, .count = done};
  }

  void clearErrors() override {}

 private:
  PortResult readOnce(uint8_t* buffer, uint32_t size) {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, size);
      if (n > 0) return {.ok = true, .count = static_cast<uint32_t>(n)};
      if (n == 0) return {.hangup = true};
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return {.ok = true};
      return {.hangup = isHangupErrno(errno)};
    }
  }

  // Waits for the buffer to fill, up to the total time-out (none when 0).
  PortResult readUntil(uint8_t* buffer, uint32_t size, uint32_t multiplier, uint32_t constant) {
    const uint64_t limit = static_cast<uint64_t>(multiplier) * size + constant;
    const int64_t deadline = limit == 0 ? -1 : nowMs() + static_cast<int64_t>(limit);
    StopWakeScope wake(&maskWake_);
    uint32_t done = 0;
    while (done < size && !stopRequested()) {
      const PortResult part = readOnce(buffer + done, size - done);
      if (!part.ok) return {.hangup = part.hangup, .count = done};
      done += part.count;
      if (done == size || part.count > 0) continue;
      pollfd fds[2] = {{fd_, POLLIN, 0}, {maskWake_, POLLIN, 0}};
      const int ready = poll(fds, 2, remainingMs(deadline));
      if (ready == 0) break;
      if (fds[1].revents & POLLIN) drainEventFd(maskWake_);
    }
    return {.ok = true, .count = done};
  }

  const int fd_;
  const int maskWake_;   // ends a waitEvent(): mask changes and stop requests
  const int writeWake_;  // ends a write's wait for room: stop requests
  std::atomic<uint32_t> mask_{0};
  std::atomic<uint32_t> readInterval_{0};
  std::atomic<uint32_t> readMultiplier_{0};
  std::atomic<uint32_t> readConstant_{0};
  std::atomic<uint32_t> writeMultiplier_{0};
  std::atomic<uint32_t> writeConstant_{0};
};

// A pty's slave side (Unix98 ptys have majors 136 to 143).
bool isPtySlave(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && major(info.st_rdev) >= 136 &&
         major(info.st_rdev) < 144;
}

// TIOCEXCL keeps out every other opener of the tty that does not run as root.
// A UART's flag goes with its last close, crash or not; a pty slave keeps it
// while its master lives, so after a crash no unprivileged daemon could open
// it again. The flock alone keeps our own processes apart there.
bool lockOutOthers(int fd) { return isPtySlave(fd) || ioctl(fd, TIOCEXCL) == 0; }

// Opens `path` as an exclusive raw terminal; -1 on any failure.
int openExclusiveTerminal(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  termios settings{};
  // flock keeps out cooperating openers, root included.
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || !lockOutOthers(fd) ||
      tcgetattr(fd, &settings) != 0) {
    close(fd);
    return -1;
  }
  makeRaw(settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    ioctl(fd, TIOCNXCL);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::unique_ptr<SerialPort> openSerialPort(const char* deviceName) {
  if (!deviceName) return nullptr;
  std::string name(deviceName);
  if (!name.empty() && name.back() == ':') name.pop_back();
  if (name.empty()) return nullptr;
  const std::optional<std::string> node = findDeviceNode(name);
  if (!node) return nullptr;
  const int fd = openExclusiveTerminal(*node);
  if (fd < 0) return nullptr;
  const int maskWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int writeWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (maskWake < 0 || writeWake < 0) {
    if (maskWake >= 0) close(maskWake);
    if (writeWake >= 0) close(writeWake);
    ioctl(fd, TIOCNXCL);
    close(fd);
    return nullptr;
  }
  return std::make_unique<TtyPort>(fd, maskWake, writeWake);
}

}  // namespace ce
