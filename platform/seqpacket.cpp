// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Seqpacket sockets in the objects folder. A path too long for sockaddr_un
// (a deep $CE_OBJECTS) is reached through /proc/self/fd of the folder, so
// binding and connecting work wherever the objects may live.
#include "platform/seqpacket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/paths.h"

namespace shub::os {

namespace {

// An address for `name` in the objects folder, valid while it lives.
class ObjectAddress {
 public:
  explicit ObjectAddress(std::string_view name) {
    const std::optional<std::string> path = objectPath(name);
    if (!path) return;
    std::string text = *path;
    if (text.size() >= sizeof address_.sun_path) {
      folder_ = ::open(ceObjects().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (folder_ < 0) return;
      text = "/proc/self/fd/" + std::to_string(folder_) + "/" + std::string(name);
      if (text.size() >= sizeof address_.sun_path) return;
    }
    std::memcpy(address_.sun_path, text.c_str(), text.size() + 1);
    valid_ = true;
  }
  ObjectAddress(const ObjectAddress&) = delete;
  ObjectAddress& operator=(const ObjectAddress&) = delete;
  ~ObjectAddress() {
    if (folder_ >= 0) close(folder_);
  }

  bool valid() const { return valid_; }
  const char* path() const { return address_.sun_path; }
  const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&address_); }
  socklen_t size() const { return sizeof address_; }

 private:
  sockaddr_un address_{.sun_family = AF_UNIX, .sun_path = {}};
  int folder_ = -1;
  bool valid_ = false;
};

Socket newSocket() { return Socket(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)); }

Socket refused(std::string* why, std::string_view name, const std::string& problem) {
  if (why != nullptr) *why = "monitor socket " + ceObjects() + "/" + std::string(name) + ": " + problem;
  return Socket();
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Socket::~Socket() {
  if (fd_ >= 0) close(fd_);
}

Socket::Sent Socket::sendNow(const void* bytes, size_t size) const {
  if (send(fd_, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size)) return Sent::whole;
  return errno == EAGAIN || errno == ENOBUFS ? Sent::full : Sent::gone;
}

std::ptrdiff_t Socket::receiveNow(void* bytes, size_t size) const {
  const ssize_t got = recv(fd_, bytes, size, MSG_DONTWAIT | MSG_TRUNC);
  if (got > static_cast<ssize_t>(size)) {
    errno = EMSGSIZE;
    return -1;
  }
  return got;
}

int Socket::waitReadable(int timeoutMs) const {
  pollfd watched{fd_, POLLIN, 0};
  return poll(&watched, 1, timeoutMs);
}

// Bound under a dot name, given its mode, then renamed into place: a client
// never finds the socket with the umask's mode, nor a name without a listener.
Socket listenOnObject(std::string_view name, std::string* why) {
  const std::string dotName = "." + std::string(name) + "." + std::to_string(getpid());
  const ObjectAddress target(name), temporary(dotName);
  if (!target.valid() || !temporary.valid()) return refused(why, name, "not a usable name");
  struct stat existing {};
  if (lstat(target.path(), &existing) == 0 && !S_ISSOCK(existing.st_mode)) {
    return refused(why, name, "exists and is not a socket; refused");
  }
  Socket listener = newSocket();
  unlink(temporary.path());
  if (!listener.valid() || bind(listener.fd(), temporary.address(), temporary.size()) != 0) {
    return refused(why, name, std::strerror(errno));
  }
  const bool ready = chmod(temporary.path(), 0660) == 0 && listen(listener.fd(), SOMAXCONN) == 0 &&
                     rename(temporary.path(), target.path()) == 0;
  if (!ready) {
    const int error = errno;
    unlink(temporary.path());
    return refused(why, name, std::strerror(error));
  }
  return listener;
}

Socket acceptWaiting(const Socket& listener) {
  return Socket(accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
}

Socket connectToObject(std::string_view name, std::chrono::milliseconds timeout) {
  const ObjectAddress target(name);
  struct stat info {};
  if (!target.valid()) {
    errno = EINVAL;
    return Socket();
  }
  if (lstat(target.path(), &info) != 0) {
    if (errno == ENOENT) errno = ENOTCONN;
    return Socket();
  }
  if (!S_ISSOCK(info.st_mode)) {
    errno = EINVAL;
    return Socket();
  }
  Socket client(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  // A listener whose queue is full holds connect() up to the send time-out.
  const auto ms = timeout.count();
  const timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
  if (!client.valid() || setsockopt(client.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) return Socket();
  if (connect(client.fd(), target.address(), target.size()) != 0) {
    if (errno == ECONNREFUSED || errno == ENOENT) errno = ENOTCONN;  // a socket left by a dead daemon
    if (errno == EAGAIN || errno == EINPROGRESS) errno = ETIMEDOUT;
    return Socket();
  }
  return client;
}

Readiness::Readiness() : fd_(epoll_create1(EPOLL_CLOEXEC)) {}

Readiness::~Readiness() {
  if (fd_ >= 0) close(fd_);
}

bool Readiness::add(int fd) {
  epoll_event event{.events = EPOLLIN | EPOLLRDHUP, .data = {.fd = fd}};
  return epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &event) == 0;
}

void Readiness::remove(int fd) { epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr); }

size_t Readiness::collect(int* ready, size_t max) {
  epoll_event events[64];
  const int count = epoll_wait(fd_, events, static_cast<int>(std::min<size_t>(max, 64)), 0);
  for (int i = 0; i < count; ++i) ready[i] = events[i].data.fd;
  return count > 0 ? static_cast<size_t>(count) : 0;
}

}  // namespace shub::os
