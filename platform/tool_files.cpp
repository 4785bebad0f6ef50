// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// lstat(2) and readlink(2) look at the link itself; fresh names come from getrandom(2);
// a folder lock is flock(2) on the folder, opened close-on-exec so no program started
// meanwhile holds it on. poll() is never restarted, so a key wait ends at once on
// Ctrl-C or SIGTERM.
#include "platform/tool_files.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace shub::os {

int ownProcessId() { return getpid(); }

std::optional<std::string> makePrivateFolder(std::string pathTemplate, std::string* why) {
  if (mkdtemp(pathTemplate.data()) != nullptr) return pathTemplate;
  if (why != nullptr) *why = std::strerror(errno);
  return std::nullopt;
}

bool isOwnFolder(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid();
}

bool processRuns(int pid) { return kill(pid, 0) == 0 || errno == EPERM; }

NodeIdentity identifyNode(const std::string& path) {
  using Kind = NodeIdentity::Kind;
  NodeIdentity node;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    node.kind = errno == ENOENT ? Kind::missing : Kind::unknown;
    node.error = errno;
    return node;
  }
  node.device = info.st_dev;
  node.inode = info.st_ino;
  node.kind = S_ISLNK(info.st_mode) ? Kind::link : Kind::other;
  char target[PATH_MAX];
  const ssize_t length = node.kind == Kind::link ? readlink(path.c_str(), target, sizeof target) : 0;
  if (length < 0 || static_cast<size_t>(length) >= sizeof target) {
    node.kind = Kind::unknown;
    node.error = length < 0 ? errno : ENAMETOOLONG;
  } else {
    node.target.assign(target, static_cast<size_t>(length));
  }
  return node;
}

std::optional<std::string> randomLetters(size_t count) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string letters(count, '\0');
  if (getrandom(letters.data(), count, 0) != static_cast<ssize_t>(count)) return std::nullopt;
  for (char& letter : letters) letter = kLetters[static_cast<unsigned char>(letter) % (sizeof kLetters - 1)];
  return letters;
}

bool FolderLock::tryLock(const std::string& folder) {
  unlock();
  fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  const int error = errno;
  unlock();
  errno = error;
  return false;
}

void FolderLock::unlock() {
  if (fd_ >= 0) close(std::exchange(fd_, -1));
}

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
