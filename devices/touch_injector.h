// The touch injector: a thread that wakes on each frame of channel 1 ("CRT1"),
// decodes pen state and position, and injects an absolute pointer event, so
// the pen acts as the left mouse button. The first down report of a touch
// plays the tap click when the user's "Screen" setting asks for one. Started
// and stopped on the main thread only (start-up, power changes, shutdown).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/pointer.h"
#include "platform/screen.h"

namespace shub::devices {

// 0 pen up; 1 first down report of a touch; 2 later down reports. Kept across
// stops and starts; only the touch thread writes it while it runs.
extern std::atomic<int32_t> touchState;

// The click kind from HKEY_CURRENT_USER\ControlPanel\Volume "Screen", read
// when the touch thread starts (missing: 0).
extern std::atomic<uint32_t> tapVolume;

// What the touch thread asks of the platform; tests hand in a fake.
class TouchPlatform {
 public:
  virtual ~TouchPlatform() = default;
  virtual os::ScreenSize screenSize() = 0;
  virtual void injectPointer(const os::PointerEvent& event) = 0;
  virtual uint32_t readTapVolume() = 0;
  virtual void keyClick(int32_t kind) = 0;
};

struct TouchReport {
  bool penDown = false;
  int32_t x = 0;  // absolute 0..65535 across the screen (not clamped)
  int32_t y = 0;
};

// Decodes the frame in a mapped channel block for a screen of `screen` pixels.
TouchReport decodeTouchFrame(const uint8_t* block, os::ScreenSize screen);

// Advances touchState, injects, and clicks on the first down report.
void handleTouchReport(const TouchReport& report, TouchPlatform& platform, uint32_t clickKind);

// Opens "CRT1:EVENT" and "CRT1" and starts the thread. Returns 0 in every
// case; without the event or the block no thread runs. `platform` must
// outlive the thread, that is, the next stop.
int startTouchInjector();
int startTouchInjector(TouchPlatform& platform);

// Joins the thread (no pointer event or click comes after), then releases
// what it held. Injects no pen-up and leaves touchState as it is.
void stopTouchInjector();
bool touchInjectorRunning();

}  // namespace shub::devices
