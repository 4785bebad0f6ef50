// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A pseudo-terminal pair for tests: the master plays the peer device, the
// slave is linked as dev/COM7 of a sandbox.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "tests/support/wait.h"

namespace testing_support {

struct PtyPair {
  int master = -1;
  std::string slave;  // /dev/pts/N

  // `raw`: the line starts without echo or line editing, like a real serial
  // line, so bytes sent before the daemon opens it are not echoed back.
  explicit PtyPair(bool raw = true) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
      closeMaster();
      return;
    }
    slave = name;
    termios line{};
    if (raw && tcgetattr(master, &line) == 0) {
      cfmakeraw(&line);
      tcsetattr(master, TCSANOW, &line);
    }
  }
  ~PtyPair() { closeMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master >= 0; }
  // The peer goes away. The link made by linkAs() goes first: the kernel hands
  // this pty's name to the next pty opened, maybe another test's, and a daemon
  // looking for its lost port by the link would take that one.
  void closeMaster() {
    if (!link_.empty()) {
      char target[128] = {};
      if (readlink(link_.c_str(), target, sizeof target - 1) > 0 && slave == target) unlink(link_.c_str());
      link_.clear();
    }
    if (master >= 0) close(master);
    master = -1;
  }
  // The peer sends `bytes`.
  void send(const std::vector<uint8_t>& bytes) const {
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Sends `bytes` again and again until `arrived` (which waits up to its own
  // deadline) says they came through: for a daemon that looks for its port
  // only now and then.
  bool resendUntil(const std::vector<uint8_t>& bytes, const std::function<bool()>& arrived) const {
    for (int attempt = 0; attempt < 20; ++attempt) {
      send(bytes);
      if (arrived()) return true;
    }
    return false;
  }

  // Reads what the other side sent until `count` bytes came or the deadline
  // passed; returns what came.
  std::vector<uint8_t> receive(size_t count) const {
    std::vector<uint8_t> got;
    waitUntil([&] {
      uint8_t buffer[512];
      pollfd fd{master, POLLIN, 0};
      if (poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN)) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) got.insert(got.end(), buffer, buffer + n);
      }
      return got.size() >= count;
    });
    return got;
  }
  // Links the slave as `link`, replacing an older link.
  bool linkAs(const std::string& link) {
    unlink(link.c_str());
    link_ = link;
    return symlink(slave.c_str(), link.c_str()) == 0;
  }

 private:
  std::string link_;
};

}  // namespace testing_support
