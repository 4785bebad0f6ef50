// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Unix seqpacket sockets named in the objects folder, and a readiness set over
// descriptors: what the daemon's monitor socket and a monitor need.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace shub::os {

// One socket descriptor, closed when it goes.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  ~Socket();

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  enum class Sent { whole, full, gone };
  // One datagram, never waiting: `full` when the peer's queue has no room.
  Sent sendNow(const void* bytes, size_t size) const;
  // One datagram, never waiting: its size, 0 when the peer has gone, -1 with
  // errno (EAGAIN: none waiting; EMSGSIZE: one larger than `size`, dropped).
  std::ptrdiff_t receiveNow(void* bytes, size_t size) const;
  // 1 readable (or the peer gone), 0 after `timeoutMs` (< 0: never), -1 with errno.
  int waitReadable(int timeoutMs) const;

 private:
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  int fd_ = -1;
};

// The daemon's end: listens on $CE_OBJECTS/<name>, group-shared (0660) like
// the objects, replacing a socket a dead daemon left but never another kind of
// file. Invalid with `why` naming the socket and the OS error.
Socket listenOnObject(std::string_view name, std::string* why);
// The next connection waiting on `listener`, non-blocking; invalid when none.
Socket acceptWaiting(const Socket& listener);

// A client's end, connected to $CE_OBJECTS/<name> within `timeout`. Invalid
// with errno: ENOTCONN nobody listens there, EACCES not allowed, EINVAL a
// link or a file that is not a socket, ETIMEDOUT the listener is swamped.
Socket connectToObject(std::string_view name, std::chrono::milliseconds timeout);

// Descriptors watched for input or hang-up through one descriptor that is
// itself readable while any of them is ready (epoll).
class Readiness {
 public:
  Readiness();
  Readiness(const Readiness&) = delete;
  Readiness& operator=(const Readiness&) = delete;
  ~Readiness();

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool add(int fd);
  void remove(int fd);
  // Descriptors ready now, at most `max`, without waiting.
  size_t collect(int* ready, size_t max);

 private:
  int fd_ = -1;
};

}  // namespace shub::os
