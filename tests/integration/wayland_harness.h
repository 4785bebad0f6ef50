// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Kiosk compositors for duskcard's tests, each private to one test and started
// from the packages Debian ships: Weston's kiosk shell on its x11 backend over
// a private Xvfb (Weston 10's kiosk shell shows a window only once there is a
// seat, which its headless backend lacks), and cage on wlroots' headless
// backend as an unprivileged user (cage refuses root). Their clients run with
// the compositor's runtime folder and the test's device; screenshots come back
// as 0x00RRGGBB rows.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/device_sandbox.h"

namespace wayland_test {

struct Screenshot {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;  // row by row, from the top
};

class Compositor {
 public:
  virtual ~Compositor() = default;
  // False, with a reason fit for GTEST_SKIP(), when it cannot run here.
  virtual bool start(std::string& whyNot) = 0;
  // `argv` as a client of the compositor, its stderr in `errPath` when given.
  virtual std::unique_ptr<testing_support::ChildProcess> client(std::vector<std::string> argv,
                                                                const std::string& errPath = "") = 0;
  virtual std::optional<Screenshot> screenshot() = 0;
  // A path of `program` its clients can run (the build folder may be closed to nobody).
  virtual std::string reachable(const std::string& program) { return program; }
  // Ends the compositor at once, as a crash would.
  virtual void kill() = 0;
};

std::unique_ptr<Compositor> makeWeston(const testing_support::DeviceSandbox& sandbox);
std::unique_ptr<Compositor> makeCage(const testing_support::DeviceSandbox& sandbox);

}  // namespace wayland_test
