// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The serial port on a Linux tty or pty: a second opener is refused, a hang-up
// never busy-loops, the write time-out bounds a full queue, an eventfd wakes a
// call on a stop. A pty is made raw from the master at once, so early bytes are
// neither echoed nor edited.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include "platform/paths.h"

namespace shub::os {
namespace {

constexpr std::chrono::milliseconds kWritePerByte{40}, kWriteConstant{10};
constexpr short kLineDown = POLLHUP | POLLERR | POLLNVAL;

// Makes a stop readable on `eventFd` during one call. A count left by an
// earlier call costs one extra pass, since the token is looked at first.
auto raiseOnStop(std::stop_token stop, int eventFd) {
  return std::stop_callback(std::move(stop), [eventFd] {
    const uint64_t one = 1;
    (void)!::write(eventFd, &one, sizeof one);
  });
}

class TtyPort final : public SerialPort {
 public:
  TtyPort(int fd, int readStop, int writeStop) : fd_(fd), readStop_(readStop), writeStop_(writeStop) {}
  ~TtyPort() override {
    ioctl(fd_, TIOCNXCL);  // the flag would outlive our close while another opener holds the line
    for (const int fd : {fd_, readStop_, writeStop_}) close(fd);
  }

  PortResult read(uint8_t* buffer, uint32_t size, std::stop_token stop) override {
    if (size == 0) return {PortStatus::done};
    const auto wake = raiseOnStop(stop, readStop_);
    for (bool lineDown = false;;) {
      if (stop.stop_requested()) return {PortStatus::stopped};
      const ssize_t n = ::read(fd_, buffer, size);
      if (n > 0) return {PortStatus::done, static_cast<uint32_t>(n)};
      // VMIN is 1, so nothing waiting gives EAGAIN, never 0; and a dead line
      // keeps reporting itself to poll(), so a second empty pass ends the call.
      if (n == 0 || (errno != EINTR && errno != EAGAIN) || lineDown) return {PortStatus::hungUp};
      const int events = waitFor(POLLIN, readStop_, -1);
      lineDown = events < 0 || (events & kLineDown) != 0;
    }
  }

  PortResult write(const uint8_t* bytes, uint32_t count, std::stop_token stop) override {
    const auto deadline = std::chrono::steady_clock::now() + kWritePerByte * count + kWriteConstant;
    const auto wake = raiseOnStop(stop, writeStop_);
    uint32_t done = 0;
    while (done < count) {
      if (stop.stop_requested()) return {PortStatus::stopped, done};
      const ssize_t n = ::write(fd_, bytes + done, count - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno != EINTR && errno != EAGAIN) return {PortStatus::hungUp, done};
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;  // time-out: the caller gets what went out
      const int events = waitFor(POLLOUT, writeStop_, static_cast<int>(std::min<int64_t>(left.count(), INT_MAX)));
      if (events < 0 || (events & kLineDown)) return {PortStatus::hungUp, done};
    }
    return {PortStatus::done, done};
  }

 private:
  // The port's revents (0 on a time-out or a signal), or -1; drains a stop.
  int waitFor(short events, int stopFd, int timeoutMs) const {
    pollfd fds[2] = {{fd_, events, 0}, {stopFd, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) < 0) return errno == EINTR ? 0 : -1;
    uint64_t stops = 0;
    if (fds[1].revents & POLLIN) (void)!::read(stopFd, &stops, sizeof stops);
    return fds[0].revents;
  }

  const int fd_, readStop_, writeStop_;  // the stops' eventfds wake a read's or a write's poll
};

// cfmakeraw gives no echo, editing, CR/LF translation, signals or parity, 8
// data bits and VMIN 1 (so a read of 0 bytes means a hang-up); one stop bit,
// no flow control and modem lines ignored complete 19200 8N1.
bool setRaw(int fd) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) return false;
  cfmakeraw(&line);
  cfsetspeed(&line, B19200);
  line.c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXANY);
  line.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
  line.c_cflag |= CLOCAL | CREAD;
  return tcsetattr(fd, TCSANOW, &line) == 0;
}

// A pty is anybody's: a link left naming /dev/pts/N could name a user's shell
// by now. Only a pty of our own user, root or the serialhub group is a line.
bool ptyOursToOpen(const struct stat& info, std::string* why) {
  if (info.st_uid == geteuid() || info.st_uid == 0) return true;
  group entry {};
  group* found = nullptr;
  char buffer[1024];
  if (getgrnam_r("serialhub", &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->gr_gid == info.st_gid) {
    return true;
  }
  *why = "a pty of uid " + std::to_string(info.st_uid) + ", not of this user, root or the group serialhub; refused";
  return false;
}

// -1 with `why` said. flock keeps out our own processes, root included;
// TIOCEXCL other non-root openers. A pty slave keeps that flag while its master
// lives, so no daemon could reopen it after a crash: there the flock alone serves.
int openExclusiveTerminal(const std::string& path, std::string* why) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  struct stat info {};
  const bool fstatFailed = fd >= 0 && fstat(fd, &info) != 0;
  // A pty's slave side (Unix98 ptys have majors 136 to 143).
  const bool ptySlave = S_ISCHR(info.st_mode) && major(info.st_rdev) >= 136 && major(info.st_rdev) < 144;
  if (fd < 0 || fstatFailed) {
    *why = std::strerror(errno);
  } else if (!isatty(fd)) {
    *why = "not a terminal";
  } else if (ptySlave && !ptyOursToOpen(info, why)) {
    // `why` says why
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *why = "busy: another process holds its lock";
  } else if (!ptySlave && ioctl(fd, TIOCEXCL) != 0) {
    *why = std::string("cannot take it alone: ") + std::strerror(errno);
  } else if (setRaw(fd)) {
    return fd;
  } else {
    *why = std::strerror(errno);
    ioctl(fd, TIOCNXCL);
  }
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

std::unique_ptr<SerialPort> openSerialPort(const char* deviceName, PortOpenReport* report) {
  PortOpenReport ignored;
  PortOpenReport& out = report != nullptr ? *report : ignored;
  std::string name(deviceName != nullptr ? deviceName : "");
  if (name.ends_with(':')) name.pop_back();
  const std::optional<std::string> node = name.empty() ? std::nullopt : findDeviceNode(name);
  out = {node.value_or(""), node ? "" : "no node " + name + " in " + ceRoot() + "/dev"};
  if (!node) return nullptr;
  const int readStop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), writeStop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int fd = readStop >= 0 && writeStop >= 0 ? openExclusiveTerminal(*node, &out.failure) : -1;
  if (fd >= 0) return std::make_unique<TtyPort>(fd, readStop, writeStop);
  if (readStop < 0 || writeStop < 0) out.failure = std::strerror(errno);
  for (const int stopFd : {readStop, writeStop}) close(stopFd);  // -1 is refused harmlessly
  return nullptr;
}

std::unique_ptr<Pty> Pty::open(std::string* why) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  char name[128] = {};
  std::unique_ptr<Pty> pty(master >= 0 ? new Pty(master, "") : nullptr);
  // A slave never opened looks like an open one from the master; once opened
  // and closed it shows a hang-up (POLLHUP) until someone opens it again.
  int slave = -1;
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0 ||
      !setRaw(master) || (slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)) < 0) {
    if (why != nullptr) *why = std::strerror(errno);
    return nullptr;
  }
  close(slave);
  pty->slave_ = name;
  return pty;
}

Pty::~Pty() { close(master_); }

bool Pty::hasReader() const {
  pollfd master{master_, 0, 0};
  return poll(&master, 1, 0) <= 0 || (master.revents & POLLHUP) == 0;
}

std::optional<size_t> Pty::writeSome(const uint8_t* bytes, size_t count, std::string* why) const {
  const ssize_t n = ::write(master_, bytes, count);
  if (n >= 0 || errno == EINTR || errno == EAGAIN) return n > 0 ? static_cast<size_t>(n) : 0;
  if (why != nullptr) *why = "pty " + slave_ + ": " + std::strerror(errno);
  return std::nullopt;
}

void Pty::waitForRoom(std::chrono::milliseconds timeout) const {
  pollfd master{master_, POLLOUT, 0};
  (void)poll(&master, 1, static_cast<int>(std::clamp<int64_t>(timeout.count(), 0, INT_MAX)));
}

}  // namespace shub::os
