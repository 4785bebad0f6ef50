// crtctl top's keys. poll() is never restarted, so a key wait ends at once on
// Ctrl-C or SIGTERM.
#include "platform/terminal.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace shub::os {

static std::optional<termios> keyModeSaved;  // what enterKeyMode() found

bool isTerminal(int fd) { return isatty(fd) == 1; }

uint32_t terminalColumns(int fd) {
  winsize size{};
  return ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

bool enterKeyMode(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  keyModeSaved = settings;
  settings.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

void leaveKeyMode(int fd) {
  if (keyModeSaved) tcsetattr(fd, TCSANOW, &*keyModeSaved);
  keyModeSaved.reset();
}

int waitKey(int fd, int timeoutMs) {
  pollfd input{fd, POLLIN, 0};
  const int ready = poll(&input, 1, timeoutMs);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return kNoKey;
  if (ready < 0) return kInputGone;
  unsigned char key = 0;
  const ssize_t got = read(fd, &key, 1);
  if (got == 1) return key;
  return got < 0 && errno == EINTR ? kNoKey : kInputGone;
}

}  // namespace shub::os
