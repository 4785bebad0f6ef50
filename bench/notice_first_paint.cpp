// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// How long the sleep notice takes to appear: from the exec of duskcard to its
// 800x480 24-bit bitmap on a private Xvfb's screen, min/median/max over N
// runs, with the moment its window was mapped as a way-point. A benchmark,
// not a test: it prints figures and asserts nothing.
//
// The picture counts as on screen when the X server reports drawing on the
// root window (DAMAGE, which sees into every window below it) that reaches
// the last pixel, and two probe pixels, the image's first and last, show the
// bitmap's colours: the root's own repaint after the previous run, or a
// black first paint, do not count.
//
// With --weston the notice shows under Weston's kiosk shell instead, nested on
// that Xvfb (x11 backend, pixman renderer): the picture counts as on screen
// once Weston has composed it into its output window, the same DAMAGE and
// probe pixels tell, and the way-point is the moment the notice hands its
// picture to Weston (its WAYLAND_DEBUG trace, which it then writes, a few
// dozen lines, on every run).
//
// usage: notice_first_paint [--weston] [runs, default 30] [duskcard, default the one built here]
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/bmp_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"
#include "tests/support/xvfb_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 800, kHeight = 480;
constexpr auto kRunDeadline = std::chrono::seconds(10);

// No pixel is black or white, so neither the root's weave nor an empty window passes for it.
uint32_t colour(int x, int y) {
  return static_cast<uint32_t>(0x200000 + (x % 200) * 0x10000 + (y % 200) * 0x100 + 0x40);
}

uint32_t pixelAt(Display* display, int x, int y) {
  XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
  if (image == nullptr) return 0xFFFFFFFF;
  const uint32_t pixel = static_cast<uint32_t>(XGetPixel(image, 0, 0)) & 0xFFFFFF;  // 24-bit TrueColor: 0xRRGGBB
  XDestroyImage(image);
  return pixel;
}

bool pictureShown(Display* display) {
  return pixelAt(display, 0, 0) == colour(0, 0) &&
         pixelAt(display, kWidth - 1, kHeight - 1) == colour(kWidth - 1, kHeight - 1);
}

// Drawing that reaches the bottom right corner: probing the screen after
// every report of drawing would slow the server being measured.
bool reachesLastPixel(const XEvent& event) {
  const XRectangle& area = reinterpret_cast<const XDamageNotifyEvent&>(event).area;
  return area.x + area.width >= kWidth && area.y + area.height >= kHeight;
}

// Under Weston, the notice's protocol trace (WAYLAND_DEBUG=client on its
// stderr, a FIFO read as it comes): its first buffer attached is the way-point,
// the picture handed to the compositor.
struct Trace {
  int fd = -1;  // closed at the writer's end of file
  std::string text;
  void read() {
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(got));
    if (got == 0) {
      close(fd);
      fd = -1;
    }
  }
  bool attached() const { return text.find(".attach(wl_buffer@") != std::string::npos; }
};

// The next X event, or false when `deadline` passed first; reads `trace` meanwhile.
bool nextEvent(Display* display, XEvent& event, Clock::time_point deadline, Trace* trace = nullptr,
               const std::function<void()>& traced = {}) {
  while (XPending(display) == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {trace != nullptr ? trace->fd : -1, POLLIN, 0}};
    poll(fds, 2, static_cast<int>(left));
    if (fds[1].revents != 0) {
      trace->read();
      traced();
    }
  }
  XNextEvent(display, &event);
  return true;
}

struct Run {
  double mapped = -1, shown = -1;  // ms after the exec; under Weston "mapped" is the attach
};

// `fifo` empty: on X; else under Weston, the trace read through it.
Run measureOnce(Display* display, int damageEvent, const std::string& program, const std::string& fifo) {
  Run run;
  const bool nested = !fifo.empty();
  Trace trace;
  if (nested && (trace.fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0) return run;
  const Clock::time_point start = Clock::now();
  auto duskcard =
      std::make_unique<testing_support::ChildProcess>(std::vector<std::string>{program, "sleep"}, "", fifo);
  if (!duskcard->started()) return run;  // never signal a pid that is not ours
  const auto since = [start] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };
  const auto traced = [&] {
    if (run.mapped < 0 && trace.attached()) run.mapped = since();
  };
  ::Window window = 0;
  XEvent event;
  while (run.shown < 0 && nextEvent(display, event, start + kRunDeadline, nested ? &trace : nullptr, traced)) {
    if (event.type == MapNotify && window == 0 && !nested) {
      window = event.xmap.window;
      run.mapped = since();
    } else if (event.type == damageEvent + XDamageNotify && (window != 0 || nested) && reachesLastPixel(event) &&
               pictureShown(display)) {
      run.shown = since();
    }
  }
  // Ended, then waited out until its window is gone (under Weston: until
  // Weston shows its own black again), so the next run starts on an empty screen.
  kill(duskcard->pid(), SIGTERM);
  duskcard->finish(kRunDeadline);
  if (trace.fd >= 0) close(trace.fd);
  while (window != 0 && nextEvent(display, event, Clock::now() + kRunDeadline)) {
    if (event.type == DestroyNotify && event.xdestroywindow.window == window) break;
  }
  testing_support::waitUntil([display] { return !pictureShown(display); }, kRunDeadline);
  XSync(display, False);
  while (XPending(display) > 0) XNextEvent(display, &event);
  return run;
}

void report(const char* what, std::vector<double> ms) {
  ms.erase(std::remove(ms.begin(), ms.end(), -1.0), ms.end());
  if (ms.empty()) {
    std::printf("%-28s never\n", what);
    return;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-28s min %6.1f ms  median %6.1f ms  max %6.1f ms  (n=%zu)\n", what, ms.front(), ms[ms.size() / 2],
              ms.back(), ms.size());
}

}  // namespace

// Weston's kiosk shell on `xvfb`, its output window at (0, 0); clients find it
// through WAYLAND_DISPLAY and XDG_RUNTIME_DIR, set here. Empty when it failed.
std::unique_ptr<testing_support::ChildProcess> startWeston(const std::string& runtime) {
  auto weston = std::make_unique<testing_support::ChildProcess>(
      std::vector<std::string>{"env", "XDG_RUNTIME_DIR=" + runtime, "weston", "--backend=x11-backend.so",
                               "--shell=kiosk-shell.so", "--use-pixman", "--no-config", "--socket=notice-bench",
                               "--width=" + std::to_string(kWidth), "--height=" + std::to_string(kHeight),
                               "--idle-time=0"},
      "/dev/null", runtime + "/weston.log");
  const std::string socket = runtime + "/notice-bench";
  const auto upOrEnded = [&] {
    return access(socket.c_str(), F_OK) == 0 || weston->finish(std::chrono::milliseconds(0)) >= 0;
  };
  if (!testing_support::waitUntil(upOrEnded, std::chrono::seconds(30)) || access(socket.c_str(), F_OK) != 0) {
    return nullptr;
  }
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("WAYLAND_DISPLAY", "notice-bench", 1);
  return weston;
}

int main(int argc, char** argv) {
  const bool underWeston = argc > 1 && std::strcmp(argv[1], "--weston") == 0;
  if (underWeston) --argc, ++argv;
  const int runs = argc > 1 ? std::atoi(argv[1]) : 30;
  testing_support::XvfbServer xvfb;  // DISPLAY while it runs
  std::string whyNot;
  if (runs <= 0 || !xvfb.start(whyNot, kWidth, kHeight)) {
    std::fprintf(stderr, "notice_first_paint: %s\n",
                 runs <= 0 ? "usage: notice_first_paint [--weston] [runs] [duskcard]" : whyNot.c_str());
    return 2;
  }
  testing_support::DeviceSandbox sandbox;  // CE_ROOT and CE_OBJECTS while it runs
  sleepscreen_test::BmpRecipe notice;
  notice.width = kWidth, notice.height = kHeight, notice.pixel = colour;
  sandbox.writeFile("residentflash2/korvent/app/duskcard.bmp", sleepscreen_test::makeBmp(notice));

  Display* display = XOpenDisplay(xvfb.display().c_str());
  int damageEvent = 0, damageError = 0;
  if (display == nullptr || !XDamageQueryExtension(display, &damageEvent, &damageError)) {
    std::fprintf(stderr, "notice_first_paint: no X display with DAMAGE at %s\n", xvfb.display().c_str());
    return 2;
  }
  std::string runtime = (std::filesystem::temp_directory_path() / "notice-bench-XXXXXX").string();
  std::unique_ptr<testing_support::ChildProcess> weston;
  unsetenv("WAYLAND_DISPLAY");  // without --weston the notice goes to the Xvfb
  if (underWeston && (mkdtemp(runtime.data()) == nullptr || (weston = startWeston(runtime)) == nullptr)) {
    std::fprintf(stderr, "notice_first_paint: weston did not start (%s/weston.log)\n", runtime.c_str());
    return 2;
  }
  const std::string fifo = underWeston ? runtime + "/trace" : "";
  if (underWeston && (mkfifo(fifo.c_str(), 0600) != 0 || setenv("WAYLAND_DEBUG", "client", 1) != 0)) return 2;
  // Weston's output window was mapped before this: only the notice's own maps come through.
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XDamageCreate(display, DefaultRootWindow(display), XDamageReportRawRectangles);
  XSync(display, False);

  const std::string program = argc > 2 ? argv[2] : testing_support::builtProgram("sleepscreen/duskcard");
  std::vector<double> mapped, shown;
  for (int i = 0; i < runs; ++i) {
    const Run run = measureOnce(display, damageEvent, program, fifo);
    mapped.push_back(run.mapped);
    shown.push_back(run.shown);
  }
  std::printf("duskcard, exec to 800x480 24-bit notice%s, %d runs\n", underWeston ? " under Weston's kiosk shell" : "",
              runs);
  report(underWeston ? "exec -> picture committed" : "exec -> window mapped", mapped);
  report("exec -> bitmap on screen", shown);
  XCloseDisplay(display);
  if (weston != nullptr) {
    weston.reset();
    std::filesystem::remove_all(runtime);
  }
  return std::count(shown.begin(), shown.end(), -1.0) == 0 ? 0 : 1;
}
