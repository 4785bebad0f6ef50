// poll() is never restarted, so a key wait ends at once on Ctrl-C or SIGTERM.
#include "platform/terminal.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace shub::os {

bool isTerminal(int fd) { return isatty(fd) == 1; }

uint32_t terminalColumns(int fd) {
  winsize size{};
  return ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

KeyMode::KeyMode(int fd) : fd_(fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return;
  const termios found = settings;
  settings.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &settings) == 0) saved_ = std::make_unique<termios>(found);
}

KeyMode::~KeyMode() {
  if (saved_) tcsetattr(fd_, TCSANOW, saved_.get());
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
