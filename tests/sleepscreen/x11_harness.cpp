// Running duskcard for real (see x11_harness.h).
#include "tests/sleepscreen/x11_harness.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>

#include "tests/support/wait.h"

extern char** environ;

namespace sleepscreen_test {

namespace {

pid_t spawn(const std::vector<std::string>& argv, posix_spawn_file_actions_t* actions) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], actions, nullptr, args.data(), environ) != 0) return -1;
  return pid;
}

// Reads the display number Xvfb writes to -displayfd, up to a deadline.
std::string readDisplayNumber(int fd, std::chrono::milliseconds timeout) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (text.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
    char buffer[32];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return "";
    text.append(buffer, static_cast<size_t>(n));
  }
  return text.substr(0, text.find('\n'));
}

int channelShift(unsigned long mask) { return mask ? std::countr_zero(mask) : 0; }

}  // namespace

Xvfb::Xvfb(int width, int height) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    failure_ = "pipe failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);  // dup2 clears close-on-exec
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  pid_ = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
               &actions);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string number = pid_ > 0 ? readDisplayNumber(fds[0], std::chrono::seconds(20)) : "";
  close(fds[0]);
  if (pid_ <= 0) {
    failure_ = "Xvfb is not installed (apt-get install xvfb)";
    return;
  } else if (number.empty()) {
    failure_ = "Xvfb did not start";
    return;
  }
  display_ = ":" + number;
}

Xvfb::~Xvfb() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  bool ended = testing_support::waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                                          std::chrono::seconds(10));
  if (!ended) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
}

Child::Child(const std::vector<std::string>& argv) { pid_ = spawn(argv, nullptr); }

Child::~Child() {
  if (pid_ <= 0 || reaped_) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::optional<int> Child::waitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0 || reaped_) return std::nullopt;
  int status = 0;
  reaped_ = testing_support::waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
  if (!reaped_ || !WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

std::vector<uint32_t> readScreen(const std::string& display, int width, int height) {
  Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return {};
  std::vector<uint32_t> pixels;
  XImage* image = XGetImage(connection, DefaultRootWindow(connection), 0, 0, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (image != nullptr) {
    pixels.reserve(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        unsigned long p = XGetPixel(image, x, y);
        auto channel = [&](unsigned long mask) {
          return static_cast<uint32_t>((p & mask) >> channelShift(mask));
        };
        pixels.push_back(channel(image->red_mask) << 16 | channel(image->green_mask) << 8 |
                         channel(image->blue_mask));
      }
    }
    XDestroyImage(image);
  }
  XCloseDisplay(connection);
  return pixels;
}

namespace {

bool hasClass(Display* connection, ::Window window, const std::string& className) {
  XClassHint hint{};
  if (XGetClassHint(connection, window, &hint) == 0) return false;
  bool match = (hint.res_class && className == hint.res_class) || (hint.res_name && className == hint.res_name);
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  return match;
}

::Window search(Display* connection, ::Window parent, const std::string& className, int depth) {
  ::Window root = 0, up = 0, found = 0;
  ::Window* children = nullptr;
  unsigned count = 0;
  if (depth > 3 || XQueryTree(connection, parent, &root, &up, &children, &count) == 0) return 0;
  for (unsigned i = 0; i < count && found == 0; ++i) {
    if (hasClass(connection, children[i], className)) found = children[i];
    else found = search(connection, children[i], className, depth + 1);
  }
  if (children) XFree(children);
  return found;
}

}  // namespace

std::optional<Geometry> findTopLevel(const std::string& display, const std::string& className) {
  Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return std::nullopt;
  std::optional<Geometry> result;
  ::Window root = DefaultRootWindow(connection);
  ::Window window = search(connection, root, className, 0);
  XWindowAttributes attributes{};
  if (window != 0 && XGetWindowAttributes(connection, window, &attributes) != 0 &&
      attributes.map_state == IsViewable) {
    int x = 0, y = 0;
    ::Window child = 0;
    XTranslateCoordinates(connection, window, root, 0, 0, &x, &y, &child);
    result = Geometry{x, y, attributes.width, attributes.height};
  }
  XCloseDisplay(connection);
  return result;
}

}  // namespace sleepscreen_test
