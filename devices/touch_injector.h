// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The touch injector: a thread that wakes on each frame of channel 1 ("CRT1"),
// decodes pen state and position, and injects an absolute pointer event, so
// the pen acts as the left mouse button. The first down report of a touch
// plays the tap click when the user's "Screen" setting asks for one. Started
// and stopped on the main thread only (start-up, power changes, shutdown).
#pragma once

#include <atomic>
#include <string>

#include "devices/backlight_click.h"
#include "devices/channel_consumer.h"
#include "devices/screen_size.h"
#include "platform/pointer.h"

namespace shub::devices {

// What the touch thread asks of the platform; tests hand in a fake.
class TouchPlatform {
 public:
  virtual ~TouchPlatform() = default;
  virtual os::ScreenSize screenSize() = 0;
  virtual void injectPointer(const os::PointerEvent& event) = 0;
  // The click kind from HKEY_CURRENT_USER\ControlPanel\Volume "Screen" (missing: 0).
  virtual uint32_t readTapVolume() = 0;
  virtual void keyClick(int32_t kind) = 0;
};

// The line a recording pointer node gets: "flags x y data extra" with the
// mouse-event flags readers of the node know (0x8000 absolute, 0x1 move,
// 0x2 left down, 0x4 left up) and data and extra always 0.
std::string pointerRecord(const os::PointerEvent& event);

class RealTouchPlatform final : public TouchPlatform {
 public:
  explicit RealTouchPlatform(Backlight& backlight) : backlight_(backlight) {}
  os::ScreenSize screenSize() override { return screenMetrics(); }
  void injectPointer(const os::PointerEvent& event) override { os::injectPointerEvent(event, pointerRecord(event)); }
  uint32_t readTapVolume() override;
  void keyClick(int32_t kind) override { backlight_.keyClick(kind); }

 private:
  Backlight& backlight_;
};

struct TouchReport {
  bool penDown = false;
  int32_t x = 0;  // absolute 0..65535 across the screen (not clamped)
  int32_t y = 0;
};

// Decodes the frame in a mapped channel block for a screen of `screen` pixels.
TouchReport decodeTouchFrame(const uint8_t* block, os::ScreenSize screen);

class TouchInjector {
 public:
  explicit TouchInjector(TouchPlatform& platform) : platform_(platform) {}

  // Opens "CRT1:EVENT" and "CRT1" and starts the thread, which reads the click
  // kind as it starts; without the event or the block no thread runs.
  void start();
  // Joins the thread (no pointer event or click comes after), then releases
  // what it held. Injects no pen-up and leaves the touch state as it is.
  void stop() { channel_.stop(); }

  // Advances the touch state, injects, and clicks on the first down report.
  void handleReport(const TouchReport& report, uint32_t clickKind);
  // 0 pen up; 1 first down report of a touch; 2 later down reports. Kept
  // across stops and starts; only the touch thread writes it while it runs.
  int32_t touchState() const { return touchState_.load(std::memory_order_relaxed); }

 private:
  TouchPlatform& platform_;
  std::atomic<int32_t> touchState_{0};
  ChannelConsumer channel_;  // last: its thread stops before the rest goes
};

}  // namespace shub::devices
