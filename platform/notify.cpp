// The service-manager notify protocol by hand (no libsystemd). A variable
// that is unset, too long for a socket address or names a socket that is gone
// is a failed send, never a crash or a blocked daemon.
#include "platform/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace ce {

bool notifyServiceManager(const char* state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  const size_t length = name != nullptr ? std::strlen(name) : 0;
  if (state == nullptr || length < 2 || length >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@')) {
    return false;
  }
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';  // abstract: no terminating zero counts
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '/'));
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const ssize_t sent = sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), size);
  close(fd);
  return sent == static_cast<ssize_t>(std::strlen(state));
}

bool watchdogRequested() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  return usec != nullptr && std::strtoull(usec, nullptr, 10) != 0 &&
         (pid == nullptr || std::strtol(pid, nullptr, 10) == static_cast<long>(getpid()));
}

}  // namespace ce
