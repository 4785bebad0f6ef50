// Touch reports to pointer events. The frame is read in place without a lock
// right after the wake-up: a newer frame the serial reader put there meanwhile
// is the one injected, and signals during a report collapse into one.
// Must survive any screen size (0 gives coordinate 0; results beyond 32 bits
// saturate), a stop at any point of a report, and endless stop/start cycles.
#include "devices/touch_injector.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "devices/backlight_click.h"
#include "devices/channel_consumer.h"
#include "platform/registry.h"
#include "router/channel_block.h"

namespace shub::devices {

std::atomic<int32_t> touchState{0};
std::atomic<uint32_t> tapVolume{0};

namespace {

// Block bytes of a touch frame (frame byte k is block byte 8 + k).
constexpr uint32_t kPenStateByte = 9;
constexpr uint32_t kVerticalByte = 10;    // u16 LE, pixels up from the bottom edge
constexpr uint32_t kHorizontalByte = 12;  // u16 LE, pixels from the left edge
constexpr uint8_t kPenDown = 0x41;        // 'A'; anything else is up

constexpr uint32_t kFlagsDownMove = os::kPointerAbsolute | os::kPointerMove | os::kPointerLeftDown;  // 0x8003
constexpr uint32_t kFlagsDownStill = os::kPointerAbsolute | os::kPointerLeftDown;                    // 0x8002
constexpr uint32_t kFlagsUp = os::kPointerLeftUp;                                                    // 0x0004

class RealTouchPlatform final : public TouchPlatform {
 public:
  os::ScreenSize screenSize() override { return os::screenMetrics(); }
  void injectPointer(const os::PointerEvent& event) override { os::injectPointerEvent(event); }
  uint32_t readTapVolume() override {
    return os::readRegistryDword("HKEY_CURRENT_USER", "ControlPanel\\Volume", "Screen").value_or(0);
  }
  void keyClick(int32_t kind) override { KeyClick(kind); }
};

RealTouchPlatform realPlatform;

ChannelConsumer injector;  // main thread only

uint32_t loadU16(const uint8_t* block, uint32_t offset) {
  return router::loadBlockByte(block, offset) + 256u * router::loadBlockByte(block, offset + 1);
}

// Truncation toward zero, saturating at the 32-bit range.
int32_t toInt32(double value) {
  constexpr double kMin = std::numeric_limits<int32_t>::min(), kMax = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::trunc(std::clamp(value, kMin, kMax)));
}

void touchThread(std::stop_token stop, os::Event* event, const uint8_t* block, TouchPlatform* platform) {
  const uint32_t clickKind = platform->readTapVolume();
  tapVolume.store(clickKind, std::memory_order_relaxed);
  // A stop racing the frame wins: nothing is injected once it has begun.
  while (event->wait(std::nullopt, stop) == os::WaitResult::signalled && !stop.stop_requested()) {
    handleTouchReport(decodeTouchFrame(block, platform->screenSize()), *platform, clickKind);
  }
}

}  // namespace

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

void handleTouchReport(const TouchReport& report, TouchPlatform& platform, uint32_t clickKind) {
  os::PointerEvent event;
  if (report.penDown) {
    const int32_t state = touchState.load(std::memory_order_relaxed);
    touchState.store(state == 0 ? 1 : 2, std::memory_order_relaxed);
    event.x = report.x;
    event.y = report.y;
    // At (0, 0) the button goes down where the pointer already is.
    event.flags = (report.x != 0 || report.y != 0) ? kFlagsDownMove : kFlagsDownStill;
  } else {
    touchState.store(0, std::memory_order_relaxed);
    event.flags = kFlagsUp;
  }
  platform.injectPointer(event);
  if (touchState.load(std::memory_order_relaxed) == 1) platform.keyClick(static_cast<int32_t>(clickKind));
}

int startTouchInjector() { return startTouchInjector(realPlatform); }

int startTouchInjector(TouchPlatform& platform) {
  startConsumer(injector, "CRT1", "CRT1:EVENT", [platform = &platform](std::stop_token stop, os::Event* event,
                                                                     const uint8_t* block) {
    touchThread(stop, event, block, platform);
  });
  return 0;
}

void stopTouchInjector() { releaseChannel(injector); }

bool touchInjectorRunning() { return injector.thread.joinable(); }

}  // namespace shub::devices
