// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
#include "tests/support/xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/wait.h"

extern char** environ;

namespace testing_support {

namespace {

constexpr int kStartTimeoutMs = 20000;

bool onPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

// Reads the display number Xvfb writes to -displayfd, up to the deadline.
std::string readDisplayNumber(int fd) {
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char c = 0;
    if (read(fd, &c, 1) != 1) break;  // Xvfb exited
    if (c == '\n') return number;
    number += c;
  }
  return "";
}

}  // namespace

bool XvfbServer::start(std::string& whyNot, int width, int height) {
  if (!onPath("Xvfb")) {
    whyNot = "Xvfb is not installed (apt-get install xvfb)";
    return false;
  }
  screen_ = std::to_string(width) + "x" + std::to_string(height) + "x24";
  return launch("", whyNot);
}

bool XvfbServer::restart(std::string& whyNot) {
  stop();
  return launch(display_, whyNot);
}

// `display` empty: Xvfb picks a free number.
bool XvfbServer::launch(const std::string& display, std::string& whyNot) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    whyNot = "no pipe";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<const char*> argv = {"Xvfb", "-displayfd", "3", "-screen", "0", screen_.c_str(), "-nolisten", "tcp", "-noreset"};
  if (!display.empty()) argv.insert(argv.begin() + 1, display.c_str());
  argv.push_back(nullptr);
  const int spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    pid_ = -1;
    whyNot = "Xvfb could not be started";
    return false;
  }
  const std::string number = readDisplayNumber(fds[0]);
  close(fds[0]);
  const std::string socket = "/tmp/.X11-unix/X" + number;
  if (number.empty() ||
      !waitUntil([&] { return access(socket.c_str(), F_OK) == 0; },
                 std::chrono::milliseconds(kStartTimeoutMs))) {
    whyNot = "Xvfb did not come up";
    return false;
  }
  display_ = ":" + number;
  setenv("DISPLAY", display_.c_str(), 1);
  return true;
}

void XvfbServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

XvfbServer::~XvfbServer() {
  stop();
  const char* display = std::getenv("DISPLAY");
  if (display != nullptr && display == display_) unsetenv("DISPLAY");
}

}  // namespace testing_support
