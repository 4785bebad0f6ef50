// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The window-message socket. Both ends reach the name through a descriptor of
// its folder or of the socket itself, by /proc/self/fd where it is mounted: a
// link planted at the name is seen and refused, never followed, and a long
// $CE_OBJECTS still fits a socket address.
#include "platform/window_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/paths.h"

namespace shub::os {
namespace {

// The datagram's three words are little-endian on every host.
void putWord(unsigned char* at, uint32_t word) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(word >> (8 * i));
}
uint32_t wordFrom(const unsigned char* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

// One descriptor, closed when it goes.
struct Descriptor {
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() { if (fd >= 0) ::close(fd); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int release() { return std::exchange(fd, -1); }
  int fd;
};

// The path by which the kernel reaches what `fd` holds open, or `fallback`
// where /proc is not mounted.
std::string pathOf(int fd, const std::string& fallback) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  return access(proc.c_str(), F_OK) == 0 ? proc : fallback;
}

// False (errno ENAMETOOLONG) when `path` does not fit an address.
bool unixAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Whether a process still receives on the socket file at `path`: a connect to
// one whose owner is gone is refused.
bool served(const std::string& path) {
  sockaddr_un address;
  const Descriptor probe(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return probe.fd >= 0 && unixAddress(path, address) &&
         connect(probe.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// What the name holds open as `fd` (O_PATH, not followed) makes it unfit for a
// socket end, or "" when it is a socket.
std::string unfitness(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return std::strerror(errno);
  if (S_ISLNK(info.st_mode)) return "is a symbolic link; refused";
  if (!S_ISSOCK(info.st_mode)) return "not a socket; refused";
  return "";
}

}  // namespace

WindowMessageSocket WindowMessageSocket::bind(std::string_view className, std::string* why) {
  const std::optional<std::string> path = objectPath(className);
  WindowMessageSocket made;
  const auto fail = [why](const std::string& what, const std::string& reason) {
    *why = what + ": " + reason;
    return WindowMessageSocket();
  };
  if (!path || className.front() == '.') return fail(std::string(className), "not a name for a window socket");
  const std::string dir = ceObjects(), name(className);
  const Descriptor folder(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.fd < 0) return fail(dir, std::strerror(errno));
  Descriptor receiver(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (receiver.fd < 0) return fail(*path, std::string("no socket: ") + std::strerror(errno));
  // Made under a dot name, then renamed into place: a sender never finds a
  // name whose socket is not yet ready.
  const std::string temporary = "." + name + "." + std::to_string(getpid());
  unlinkat(folder.fd, temporary.c_str(), 0);  // left by a process that had this pid
  sockaddr_un address;
  if (!unixAddress(pathOf(folder.fd, dir) + "/" + temporary, address)) return fail(*path, std::strerror(errno));
  const mode_t umaskBefore = umask(0117);  // group members post, others never
  const int bound = ::bind(receiver.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  umask(umaskBefore);
  if (bound != 0) return fail(dir + "/" + temporary, std::strerror(errno));
  const Descriptor there(openat(folder.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  std::string problem = there.fd < 0 && errno != ENOENT ? std::strerror(errno) : "";
  if (there.fd >= 0) problem = unfitness(there.fd);
  // A socket left by a notice that died is replaced; a served one is not ours to take.
  if (there.fd >= 0 && problem.empty() && served(pathOf(there.fd, *path))) {
    problem = "another process serves this window socket; refused";
  }
  if (problem.empty() && renameat(folder.fd, temporary.c_str(), folder.fd, name.c_str()) != 0) {
    problem = std::strerror(errno);
  }
  struct stat placed {};
  if (problem.empty() && fstatat(folder.fd, name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) != 0) {
    problem = std::strerror(errno);
  }
  if (!problem.empty()) {
    unlinkat(folder.fd, temporary.c_str(), 0);
    return fail(*path, problem);
  }
  made.fd_ = receiver.release();
  made.path_ = *path;
  made.device_ = placed.st_dev;
  made.inode_ = placed.st_ino;
  return made;
}

WindowMessageSocket& WindowMessageSocket::operator=(WindowMessageSocket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

WindowMessageSocket::~WindowMessageSocket() { close(); }

void WindowMessageSocket::close() {
  if (fd_ < 0) return;
  // Another notice may have replaced the name meanwhile: only ours goes.
  struct stat info {};
  if (lstat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_) unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
}

std::optional<WindowMessage> WindowMessageSocket::receive() {
  for (;;) {
    unsigned char bytes[kWindowMessageBytes];
    // MSG_TRUNC: the datagram's own length, so a longer one is told apart.
    const ssize_t length = recv(fd_, bytes, sizeof bytes, MSG_DONTWAIT | MSG_TRUNC);
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) return std::nullopt;
    if (length == 0) return WindowMessage{WindowMessage::Kind::comeForward};
    if (length != static_cast<ssize_t>(kWindowMessageBytes)) continue;
    return WindowMessage{WindowMessage::Kind::message, wordFrom(bytes), wordFrom(bytes + 4),
                         static_cast<int32_t>(wordFrom(bytes + 8))};
  }
}

WindowSocketPost postToWindowSocket(std::string_view className, const WindowMessage& message, std::string* why) {
  const std::optional<std::string> path = objectPath(className);
  if (!path) return WindowSocketPost::noWindow;
  const auto fail = [&](const std::string& reason) {
    if (why != nullptr) *why = *path + ": " + reason;
    return WindowSocketPost::failed;
  };
  const Descriptor target(open(path->c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (target.fd < 0) return errno == ENOENT || errno == ENOTDIR ? WindowSocketPost::noWindow : fail(std::strerror(errno));
  if (const std::string problem = unfitness(target.fd); !problem.empty()) return fail(problem);
  const Descriptor sender(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address;
  if (sender.fd < 0 || !unixAddress(pathOf(target.fd, *path), address)) return fail(std::strerror(errno));
  unsigned char words[kWindowMessageBytes];
  putWord(words, message.number);
  putWord(words + 4, message.unsignedArgument);
  putWord(words + 8, static_cast<uint32_t>(message.signedArgument));
  const size_t length = message.kind == WindowMessage::Kind::message ? sizeof words : 0;
  ssize_t sent;
  do {
    sent = sendto(sender.fd, words, length, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                  sizeof address);
  } while (sent < 0 && errno == EINTR);
  if (sent == static_cast<ssize_t>(length)) return WindowSocketPost::sent;
  if (errno == ECONNREFUSED) return WindowSocketPost::noWindow;  // its window is gone
  if (errno == EAGAIN) return fail("the window takes no more messages for now (its queue is full)");
  return fail(std::strerror(errno));
}

}  // namespace shub::os
