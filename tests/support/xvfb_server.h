// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A private X server for one test binary: Xvfb on a display number it picks
// itself (-displayfd), so parallel test binaries never collide. Sets DISPLAY
// (and unsets it when stopped for good).
// A restart stops the server and starts a new one on the same display, as a
// display manager does.
#pragma once

#include <sys/types.h>

#include <string>

namespace testing_support {

class XvfbServer {
 public:
  XvfbServer() = default;
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // Starts a WIDTHxHEIGHTx24 server and waits (with a deadline) for its
  // socket. On failure returns false with a reason fit for GTEST_SKIP().
  bool start(std::string& whyNot, int width = 800, int height = 480);
  bool restart(std::string& whyNot);
  const std::string& display() const { return display_; }

 private:
  bool launch(const std::string& display, std::string& whyNot);
  void stop();

  pid_t pid_ = -1;
  std::string display_;
  std::string screen_ = "800x480x24";
};

}  // namespace testing_support
