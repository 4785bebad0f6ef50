// The pty of pty.h. The line is made raw from the master's side at once, so
// bytes written before the reader opens the slave are neither echoed nor
// edited.
#include "platform/pty.h"

#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace ce {

bool openPty(Pty& out) {
  out.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128] = {};
  termios line{};
  if (out.master < 0 || grantpt(out.master) != 0 || unlockpt(out.master) != 0 ||
      ptsname_r(out.master, name, sizeof name) != 0 || tcgetattr(out.master, &line) != 0) {
    const int error = errno;
    closePty(out);
    errno = error;
    return false;
  }
  cfmakeraw(&line);
  tcsetattr(out.master, TCSANOW, &line);
  out.slave = name;
  return true;
}

void closePty(Pty& pty) {
  if (pty.master >= 0) ::close(pty.master);
  pty.master = -1;
}

bool writePty(const Pty& pty, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(pty.master, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace ce
