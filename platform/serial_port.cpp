// The serial port on a Linux tty or pty, and the one place that knows about
// termios. It must survive: a node that is missing or is not a terminal, a
// second opener (refused), the other end closing (reported as a hang-up, with
// no busy loop left behind), a writer stuck behind a full output queue
// (bounded by the write time-out), and a stop while a call waits (the stop
// token's callback wakes the poll through an eventfd).
#include "platform/serial_port.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

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

namespace ce {

namespace {

// An owned descriptor, closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

int64_t nowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds left before `deadline` as a poll() time-out.
int remainingMs(int64_t deadline) {
  const int64_t left = deadline - nowMs();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

void drainEventFd(int fd) {
  uint64_t value = 0;
  [[maybe_unused]] const ssize_t ignored = ::read(fd, &value, sizeof value);
}

// Makes a stop of `stop` readable on `eventFd` for the life of one call. The
// count stays until drained, so a stop that comes before the poll still ends
// it. A count left by an earlier, stopped caller is drained before the token
// is looked at, so it can only cost one extra pass, never a lost stop.
class StopSignal {
 public:
  StopSignal(int eventFd, std::stop_token stop) : callback_(std::move(stop), Raise{eventFd}) {}

 private:
  struct Raise {
    int fd;
    void operator()() const {
      const uint64_t one = 1;
      [[maybe_unused]] const ssize_t ignored = ::write(fd, &one, sizeof one);
    }
  };
  std::stop_callback<Raise> callback_;
};

bool isHangupErrno(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE; }

PortStatus errorStatus(int error) { return isHangupErrno(error) ? PortStatus::hungUp : PortStatus::failed; }

constexpr short kLineDown = POLLHUP | POLLERR | POLLNVAL;

class TtyPort final : public SerialPort {
 public:
  TtyPort(Fd fd, Fd readStop, Fd writeStop)
      : fd_(std::move(fd)), readStop_(std::move(readStop)), writeStop_(std::move(writeStop)) {}
  ~TtyPort() override { ioctl(fd_.get(), TIOCNXCL); }  // a pty's slave keeps the flag while its master lives
  TtyPort(const TtyPort&) = delete;
  TtyPort& operator=(const TtyPort&) = delete;

  PortResult read(uint8_t* buffer, uint32_t size, std::stop_token stop) override {
    if (size == 0) return {PortStatus::done};
    const StopSignal wake(readStop_.get(), stop);
    bool lineDown = false;
    for (;;) {
      if (stop.stop_requested()) return {PortStatus::stopped};
      const ssize_t n = ::read(fd_.get(), buffer, size);
      if (n > 0) return {PortStatus::done, static_cast<uint32_t>(n)};
      if (n == 0) return {PortStatus::hungUp};  // VMIN is 1: nothing waiting gives EAGAIN, not 0
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return {errorStatus(errno)};
      // A dead line keeps reporting itself to poll(): without this the loop would spin.
      if (lineDown) return {PortStatus::hungUp};
      pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {readStop_.get(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return {PortStatus::failed};
      }
      if (fds[1].revents & POLLIN) drainEventFd(readStop_.get());
      lineDown = (fds[0].revents & kLineDown) != 0;
    }
  }

  PortResult write(const uint8_t* bytes, uint32_t count, std::stop_token stop) override {
    const int64_t deadline = nowMs() + int64_t{kWriteMsPerByte} * count + kWriteConstantMs;
    const StopSignal wake(writeStop_.get(), stop);
    uint32_t done = 0;
    while (done < count) {
      if (stop.stop_requested()) return {PortStatus::stopped, done};
      const ssize_t n = ::write(fd_.get(), bytes + done, count - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return {errorStatus(errno), done};
      pollfd fds[2] = {{fd_.get(), POLLOUT, 0}, {writeStop_.get(), POLLIN, 0}};
      const int ready = poll(fds, 2, remainingMs(deadline));
      if (ready == 0) break;  // time-out: the caller gets what went out
      if (ready < 0) {
        if (errno == EINTR) continue;
        return {PortStatus::failed, done};
      }
      if (fds[1].revents & POLLIN) drainEventFd(writeStop_.get());
      if (fds[0].revents & kLineDown) return {PortStatus::hungUp, done};
    }
    return {PortStatus::done, done};
  }

 private:
  const Fd fd_;
  const Fd readStop_;   // wakes a read's poll on a stop
  const Fd writeStop_;  // wakes a write's poll on a stop
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

// Raw line at 19200 8N1: no echo, no line editing, no translation of CR/LF,
// no signals, no parity, no software or hardware flow control; the modem lines
// are ignored and the receiver is on. A read with nothing waiting answers
// EAGAIN (the descriptor is non-blocking and VMIN is 1), so a read of 0 bytes
// only ever means a hang-up.
void makeRaw(termios& settings) {
  cfmakeraw(&settings);
  cfsetispeed(&settings, B19200);
  cfsetospeed(&settings, B19200);
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
}

// Opens `path` as an exclusive raw terminal; an invalid Fd on any failure.
Fd openExclusiveTerminal(const std::string& path, std::string& failure) {
  const auto fail = [&failure](std::string why) {
    failure = std::move(why);
    return Fd();
  };
  Fd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return fail(std::strerror(errno));
  if (!isatty(fd.get())) return fail("not a terminal");
  // flock keeps out cooperating openers, root included.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return fail("busy: another process holds its lock");
  if (!lockOutOthers(fd.get())) return fail(std::string("cannot take it alone: ") + std::strerror(errno));
  termios settings{};
  if (tcgetattr(fd.get(), &settings) != 0) return fail(std::strerror(errno));
  makeRaw(settings);
  if (tcsetattr(fd.get(), TCSANOW, &settings) != 0) {
    const int error = errno;
    ioctl(fd.get(), TIOCNXCL);
    return fail(std::strerror(error));
  }
  return fd;
}

}  // namespace

std::unique_ptr<SerialPort> openSerialPort(const char* deviceName, PortOpenReport* report) {
  PortOpenReport ignored;
  PortOpenReport& out = report != nullptr ? *report : ignored;
  out = {};
  if (!deviceName) return nullptr;
  std::string name(deviceName);
  if (!name.empty() && name.back() == ':') name.pop_back();
  if (name.empty()) return nullptr;
  const std::optional<std::string> node = findDeviceNode(name);
  if (!node) {
    out.failure = "no node " + name + " in " + ceRoot() + "/dev";
    return nullptr;
  }
  out.path = *node;
  Fd fd = openExclusiveTerminal(*node, out.failure);
  if (!fd.valid()) return nullptr;
  Fd readStop(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  Fd writeStop(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!readStop.valid() || !writeStop.valid()) {
    out.failure = std::strerror(errno);
    ioctl(fd.get(), TIOCNXCL);
    return nullptr;
  }
  return std::make_unique<TtyPort>(std::move(fd), std::move(readStop), std::move(writeStop));
}

}  // namespace ce
