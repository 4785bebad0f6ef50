// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Pointer injection and screen metrics in an X session without pointer or
// screen nodes, on a private Xvfb of 800x480: a touch decoded as the touch
// thread does lands on its pixel with button 1 pressed, and the metrics
// follow a resolution change made through RandR. Skips where Xvfb (or, for
// the resolution change, libXrandr) is missing.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <dlfcn.h>

#include <string>

#include "devices/touch_injector.h"
#include "platform/pointer.h"
#include "router/channel_block.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"
#include "tests/support/xvfb_server.h"

using namespace shub::router;
using namespace shub::devices;

namespace {

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

class XSession : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    if (!server.start(whyNot)) GTEST_SKIP() << whyNot;
    observer = XOpenDisplay(server.display().c_str());
    ASSERT_NE(observer, nullptr) << "cannot open " << server.display();
  }
  void TearDown() override {
    if (observer != nullptr) XCloseDisplay(observer);
  }

  testing_support::DeviceSandbox sandbox;  // no dev/pointer, no dev/screen
  testing_support::XvfbServer server;
  Display* observer = nullptr;
};

TEST_F(XSession, TouchMovesTheCorePointerAndPressesButtonOne) {
  uint8_t frame[SHUB_BLOCK_SIZE] = {};
  frame[9] = 0x41;
  frame[10] = 240;
  frame[12] = 400 & 0xFF;
  frame[13] = 400 >> 8;
  const TouchReport down = decodeTouchFrame(frame, shub::devices::screenMetrics());  // metrics from the X server
  EXPECT_TRUE(shub::os::injectPointerEvent({down.x, down.y, {.left = true}}, ""));
  PointerState state;
  EXPECT_TRUE(testing_support::waitUntil([&] {
    state = queryPointer(observer);
    return state.x == 400 && state.y == 240 && state.button1;
  })) << state.x << "," << state.y << " button1 " << state.button1;

  EXPECT_TRUE(shub::os::injectPointerEvent({0, 0, {.left = false}}, ""));
  EXPECT_TRUE(testing_support::waitUntil([&] {
    state = queryPointer(observer);
    return !state.button1;
  }));
  EXPECT_EQ(state.x, 400) << "the up report does not move the pointer";
}

// libXrandr's calls, declared here: the test has its library but not its headers.
struct RandrResources {
  Time timestamp, configTimestamp;
  int crtcCount;
  unsigned long* crtcs;
};
using GetResources = RandrResources* (*)(Display*, ::Window);
using SetCrtc = int (*)(Display*, RandrResources*, unsigned long crtc, Time, int x, int y, unsigned long mode,
                        unsigned short rotation, unsigned long* outputs, int outputCount);
using FreeResources = void (*)(RandrResources*);
using SetScreenSize = void (*)(Display*, ::Window, int width, int height, int mmWidth, int mmHeight);

TEST_F(XSession, MetricsFollowAResolutionChange) {
  void* randr = dlopen("libXrandr.so.2", RTLD_NOW | RTLD_LOCAL);
  if (randr == nullptr) GTEST_SKIP() << "libXrandr is not installed";
  auto getResources = reinterpret_cast<GetResources>(dlsym(randr, "XRRGetScreenResources"));
  auto setCrtc = reinterpret_cast<SetCrtc>(dlsym(randr, "XRRSetCrtcConfig"));
  auto freeResources = reinterpret_cast<FreeResources>(dlsym(randr, "XRRFreeScreenResources"));
  auto setScreenSize = reinterpret_cast<SetScreenSize>(dlsym(randr, "XRRSetScreenSize"));
  ASSERT_TRUE(getResources && setCrtc && freeResources && setScreenSize);
  EXPECT_EQ(shub::devices::screenMetrics().width, 800);

  // Xvfb offers one mode, its start size; a smaller screen needs its CRTC off.
  const ::Window root = DefaultRootWindow(observer);
  RandrResources* resources = getResources(observer, root);
  ASSERT_NE(resources, nullptr);
  for (int i = 0; i < resources->crtcCount; ++i) {
    setCrtc(observer, resources, resources->crtcs[i], CurrentTime, 0, 0, 0, 1, nullptr, 0);
  }
  freeResources(resources);
  setScreenSize(observer, root, 640, 400, 169, 106);
  XSync(observer, False);
  shub::os::ScreenSize size;
  EXPECT_TRUE(testing_support::waitUntil([&] {
    size = shub::devices::screenMetrics();
    return size.width == 640 && size.height == 400;
  })) << size.width << "x" << size.height;
}

}  // namespace
