// Pointer injection into an X session without a pointer node: a private Xvfb
// of 800x480, a touch at X 400, V 240 decoded as the touch thread does, and
// the core pointer must land on pixel (400, 240) with button 1 pressed, then
// released by the up report. Skips where Xvfb is not installed.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "devices/touch_injector.h"
#include "platform/pointer.h"
#include "router/channel_block.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

extern char** environ;

namespace {

const char* findXvfb() {
  for (const char* path : {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return nullptr;
}

// Xvfb on a display of its own: tries display numbers from one derived from
// our pid until a server stays up and answers.
class Xvfb {
 public:
  explicit Xvfb(const char* program) {
    const int base = 200 + static_cast<int>(getpid() % 400);
    for (int number = base; number < base + 20 && display_.empty(); ++number) tryDisplay(program, number);
  }
  ~Xvfb() { stop(); }
  const std::string& display() const { return display_; }

 private:
  void tryDisplay(const char* program, int number) {
    const std::string name = ":" + std::to_string(number);
    const char* argv[] = {program, name.c_str(), "-screen", "0", "800x480x24", "-nolisten", "tcp", "-noreset", nullptr};
    if (posix_spawn(&pid_, program, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid_ = -1;
      return;
    }
    bool exited = false;
    testing_support::waitUntil([&] {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return exited = true;  // display taken
      Display* probe = XOpenDisplay(name.c_str());
      if (probe == nullptr) return false;
      XCloseDisplay(probe);
      return true;
    }, std::chrono::seconds(10));
    if (exited) {
      pid_ = -1;
      return;
    }
    Display* probe = XOpenDisplay(name.c_str());
    if (probe == nullptr) return stop();
    XCloseDisplay(probe);
    display_ = name;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
  std::string display_;
};

struct PointerState {
  int x = -1, y = -1;
  bool button1 = false;
};

PointerState queryPointer(Display* display) {
  ::Window root = 0, child = 0;
  int rootX = 0, rootY = 0, winX = 0, winY = 0;
  unsigned mask = 0;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
  return {rootX, rootY, (mask & Button1Mask) != 0};
}

TEST(PointerXTest, TouchMovesTheCorePointerAndPressesButtonOne) {
  const char* program = findXvfb();
  if (program == nullptr) GTEST_SKIP() << "Xvfb is not installed";
  testing_support::DeviceSandbox sandbox;  // no dev/pointer, no dev/screen
  Xvfb server(program);
  if (server.display().empty()) GTEST_SKIP() << "Xvfb did not start";
  setenv("DISPLAY", server.display().c_str(), 1);
  Display* observer = XOpenDisplay(server.display().c_str());
  ASSERT_NE(observer, nullptr) << "cannot open " << server.display();

  uint8_t frame[kChannelBlockSize] = {};
  frame[9] = 0x41;
  frame[10] = 240;
  frame[12] = 400 & 0xFF;
  frame[13] = 400 >> 8;
  const TouchReport down = decodeTouchFrame(frame, ce::screenMetrics());  // metrics from the X server
  EXPECT_TRUE(ce::injectPointerEvent({0x8003, down.x, down.y, 0, 0}));
  PointerState state;
  EXPECT_TRUE(testing_support::waitUntil([&] {
    state = queryPointer(observer);
    return state.x == 400 && state.y == 240 && state.button1;
  })) << state.x << "," << state.y << " button1 " << state.button1;

  EXPECT_TRUE(ce::injectPointerEvent({0x0004, 0, 0, 0, 0}));
  EXPECT_TRUE(testing_support::waitUntil([&] {
    state = queryPointer(observer);
    return !state.button1;
  }));
  EXPECT_EQ(state.x, 400) << "the up report does not move the pointer";
  XCloseDisplay(observer);
  unsetenv("DISPLAY");
}

}  // namespace
