// The service-manager notify protocol, written out by hand (no libsystemd):
// a unixgram datagram to $NOTIFY_SOCKET. It must survive the variable being
// unset, empty, too long for a socket address, or naming a socket that is
// gone: each is a failed send, never a crash or a blocked daemon.
#include "platform/notify.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ce {

bool notifyServiceManager(const char* state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (!state || !name || (name[0] != '/' && name[0] != '@')) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(name);
  if (length < 2 || length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';  // abstract name: no terminating zero counts
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length +
                                                (name[0] == '@' ? 0 : 1));
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const ssize_t sent = sendto(fd, state, std::strlen(state), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&address), size);
  close(fd);
  return sent == static_cast<ssize_t>(std::strlen(state));
}

bool watchdogRequested() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (usec == nullptr || std::strtoull(usec, nullptr, 10) == 0) return false;
  const char* pid = std::getenv("WATCHDOG_PID");
  return pid == nullptr || std::strtol(pid, nullptr, 10) == static_cast<long>(getpid());
}

}  // namespace ce
