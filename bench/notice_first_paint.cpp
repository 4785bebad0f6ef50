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
// usage: notice_first_paint [runs, default 30] [duskcard, default the one built here]
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/bmp_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/device_sandbox.h"
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

// The next event, or false when `deadline` passed first.
bool nextEvent(Display* display, XEvent& event, Clock::time_point deadline) {
  while (XPending(display) == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd connection = {ConnectionNumber(display), POLLIN, 0};
    poll(&connection, 1, static_cast<int>(left));
  }
  XNextEvent(display, &event);
  return true;
}

struct Run {
  double mapped = -1, shown = -1;  // ms after the exec
};

Run measureOnce(Display* display, int damageEvent, const std::string& program) {
  Run run;
  const Clock::time_point start = Clock::now();
  auto duskcard = std::make_unique<testing_support::ChildProcess>(std::vector<std::string>{program, "sleep"});
  if (!duskcard->started()) return run;  // never signal a pid that is not ours
  const auto since = [start] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };
  ::Window window = 0;
  XEvent event;
  while (run.shown < 0 && nextEvent(display, event, start + kRunDeadline)) {
    if (event.type == MapNotify && window == 0) {
      window = event.xmap.window;
      run.mapped = since();
    } else if (event.type == damageEvent + XDamageNotify && window != 0 && reachesLastPixel(event) &&
               pictureShown(display)) {
      run.shown = since();
    }
  }
  // Ended, then waited out until its window is gone, so the next run starts on an empty screen.
  kill(duskcard->pid(), SIGTERM);
  duskcard->finish(kRunDeadline);
  while (window != 0 && nextEvent(display, event, Clock::now() + kRunDeadline)) {
    if (event.type == DestroyNotify && event.xdestroywindow.window == window) break;
  }
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

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 30;
  testing_support::XvfbServer xvfb;  // DISPLAY while it runs
  std::string whyNot;
  if (runs <= 0 || !xvfb.start(whyNot, kWidth, kHeight)) {
    std::fprintf(stderr, "notice_first_paint: %s\n",
                 runs <= 0 ? "usage: notice_first_paint [runs] [duskcard]" : whyNot.c_str());
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
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XDamageCreate(display, DefaultRootWindow(display), XDamageReportRawRectangles);
  XSync(display, False);

  const std::string program = argc > 2 ? argv[2] : testing_support::builtProgram("sleepscreen/duskcard");
  std::vector<double> mapped, shown;
  for (int i = 0; i < runs; ++i) {
    const Run run = measureOnce(display, damageEvent, program);
    mapped.push_back(run.mapped);
    shown.push_back(run.shown);
  }
  std::printf("duskcard, exec to 800x480 24-bit notice, %d runs\n", runs);
  report("exec -> window mapped", mapped);
  report("exec -> bitmap on screen", shown);
  XCloseDisplay(display);
  return std::count(shown.begin(), shown.end(), -1.0) == 0 ? 0 : 1;
}
