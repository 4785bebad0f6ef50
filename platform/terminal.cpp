// Terminal settings for crtctl's live view. Only the echo and canonical
// flags change, so output processing (LF to CR LF) and Ctrl-C keep working;
// poll() is never restarted after a signal handler, so a wait ends at once
// when Ctrl-C or SIGTERM comes.
#include "platform/terminal.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace ce {

namespace {

termios savedSettings{};
bool saved = false;

}  // namespace

bool isTerminal(int fd) { return isatty(fd) == 1; }

uint32_t terminalColumns(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool enterKeyMode(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  savedSettings = settings;
  saved = true;
  settings.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

void leaveKeyMode(int fd) {
  if (saved) tcsetattr(fd, TCSANOW, &savedSettings);
  saved = false;
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

}  // namespace ce
