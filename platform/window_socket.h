// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Window messages where the display cannot carry them (Wayland has no way for
// one client to address another): the window of class C owns the datagram
// socket $CE_OBJECTS/C, made the way the objects are (a dot name renamed into
// place, mode 0660 whatever the umask), never reached through a link.
//
// A datagram of 12 bytes is a message: its number, then its unsigned and its
// signed argument, each 32 bits little-endian, as the objects' words are. An
// empty datagram asks the window to come forward. Any other length is ignored.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace shub::os {

struct WindowMessage {
  enum class Kind { message, comeForward };
  Kind kind = Kind::message;
  uint32_t number = 0;
  uint32_t unsignedArgument = 0;
  int32_t signedArgument = 0;
};

inline constexpr size_t kWindowMessageBytes = 12;

// The receiving end, owned by the window. Binding changes the umask for its
// moment: made by a program before it starts threads.
class WindowMessageSocket {
 public:
  WindowMessageSocket() = default;
  // Binds $CE_OBJECTS/<className>, replacing a socket nobody serves any more.
  // Invalid, with `why` naming the path and the reason, when the name holds
  // anything else (a link, a file) or a socket another process serves.
  static WindowMessageSocket bind(std::string_view className, std::string* why);
  WindowMessageSocket(WindowMessageSocket&& other) noexcept { *this = std::move(other); }
  WindowMessageSocket& operator=(WindowMessageSocket&& other) noexcept;
  ~WindowMessageSocket();  // removes the name while it is still ours

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }  // readable when a datagram is queued
  // The next well-formed datagram queued, without waiting; nullopt when none.
  std::optional<WindowMessage> receive();

 private:
  void close();

  int fd_ = -1;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

enum class WindowSocketPost {
  sent,
  noWindow,  // no socket of that class, or one nobody serves any more
  failed,    // `why` says what (not a socket, a link, no permission, a full queue)
};

// Sends `message` to the socket of `className` without waiting.
WindowSocketPost postToWindowSocket(std::string_view className, const WindowMessage& message, std::string* why);

}  // namespace shub::os
