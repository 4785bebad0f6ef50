// Running duskcard for real: a private Xvfb of the test's size, child
// processes waited for by pid with a deadline, and the screen read back from
// the root window.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/xvfb_server.h"

namespace sleepscreen_test {

// Xvfb -screen 0 WIDTHxHEIGHTx24; check ok() / failure().
class Xvfb {
 public:
  Xvfb(int width, int height) { server_.start(failure_, width, height); }

  bool ok() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }
  const std::string& display() const { return server_.display(); }  // ":N"

 private:
  testing_support::XvfbServer server_;
  std::string failure_;
};

// A started program, killed (by its pid) if the test ends before it does.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  // Exit status once it ended within `timeout`; nullopt otherwise (or if
  // killed by a signal).
  std::optional<int> waitExit(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// The screen as 0x00RRGGBB, rows from the top; empty when it cannot be read.
std::vector<uint32_t> readScreen(const std::string& display, int width, int height);

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};
// Root position and size of the top-level window with WM_CLASS class
// `className`, searched through window-manager frames; nullopt when none.
std::optional<Geometry> findTopLevel(const std::string& display, const std::string& className);

}  // namespace sleepscreen_test
