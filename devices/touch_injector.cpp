// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Touch reports to pointer events. The frame is read in place without a lock
// right after the wake-up: a newer frame the serial reader put there meanwhile
// is the one injected, and signals during a report collapse into one.
// Must survive any screen size (0 gives coordinate 0; results beyond 32 bits
// saturate), a stop at any point of a report, and endless stop/start cycles.
#include "devices/touch_injector.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "devices/registry_value.h"
#include "router/channel_block.h"

namespace shub::devices {

namespace {

// Block bytes of a touch frame (frame byte k is block byte 8 + k).
constexpr uint32_t kPenStateByte = 9;
constexpr uint32_t kVerticalByte = 10;    // u16 LE, pixels up from the bottom edge
constexpr uint32_t kHorizontalByte = 12;  // u16 LE, pixels from the left edge
constexpr uint8_t kPenDown = 0x41;        // 'A'; anything else is up

uint32_t loadU16(const uint8_t* block, uint32_t offset) {
  return router::loadBlockByte(block, offset) + 256u * router::loadBlockByte(block, offset + 1);
}

// Truncation toward zero, saturating at the 32-bit range.
int32_t toInt32(double value) {
  constexpr double kMin = std::numeric_limits<int32_t>::min(), kMax = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::trunc(std::clamp(value, kMin, kMax)));
}

}  // namespace

uint32_t RealTouchPlatform::readTapVolume() {
  return readRegistryDword("registry\\HKEY_CURRENT_USER\\ControlPanel\\Volume\\Screen").value_or(0);
}

std::string pointerRecord(const os::PointerEvent& event) {
  constexpr unsigned kAbsolute = 0x8000, kMove = 0x1, kLeftDown = 0x2, kLeftUp = 0x4;
  const unsigned flags = !event.buttons.left ? kLeftUp : kAbsolute | kLeftDown | (os::pointerMoves(event) ? kMove : 0);
  return std::to_string(flags) + " " + std::to_string(event.x) + " " + std::to_string(event.y) + " 0 0\n";
}

TouchReport decodeTouchFrame(const uint8_t* block, os::ScreenSize screen) {
  TouchReport report;
  report.penDown = router::loadBlockByte(block, kPenStateByte) == kPenDown;
  const double vertical = loadU16(block, kVerticalByte);
  const double horizontal = loadU16(block, kHorizontalByte);
  // Difference, product, quotient in the order the panel's calibration
  // expects; unclamped, so a reading off the panel is off the screen.
  const double width = screen.width, height = screen.height;
  report.x = width > 0 ? toInt32((horizontal * 65535.0) / width) : 0;
  report.y = height > 0 ? toInt32(((height - vertical) * 65535.0) / height) : 0;
  return report;
}

void TouchInjector::handleReport(const TouchReport& report, uint32_t clickKind) {
  os::PointerEvent event;
  if (report.penDown) {
    touchState_.store(touchState() == 0 ? 1 : 2, std::memory_order_relaxed);
    event = {report.x, report.y, {.left = true}};
  } else {
    touchState_.store(0, std::memory_order_relaxed);
  }
  platform_.injectPointer(event);
  if (touchState() == 1) platform_.keyClick(static_cast<int32_t>(clickKind));
}

void TouchInjector::start() {
  channel_.start("CRT1", "CRT1:EVENT", [this](std::stop_token stop, const ChannelFrames& frames) {
    const uint32_t clickKind = platform_.readTapVolume();
    while (frames.waitForFrame(stop)) handleReport(decodeTouchFrame(frames.block, platform_.screenSize()), clickKind);
  });
}

}  // namespace shub::devices
