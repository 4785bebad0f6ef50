// The touch injector: a thread that wakes on each frame of channel 1 ("CRT1"),
// decodes pen state and position, and injects an absolute pointer event, so
// the pen acts as the left mouse button. The first down report of a touch
// plays the tap click when the user's "Screen" setting asks for one.
//
// Started by the device-service start and, when power returns, by the power
// watcher; stopped by the power watcher when power goes away and at shutdown.
// Start and stop run on the main thread only.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/pointer.h"
#include "platform/screen.h"

// 0 pen up; 1 first down report of a touch; 2 second and later down reports.
// Lives as long as the daemon, across stops and starts. Only the touch thread
// writes it while the injector runs.
extern std::atomic<int32_t> touchState;

// The click kind read from HKEY_CURRENT_USER\ControlPanel\Volume "Screen"
// when the touch thread starts (missing: 0).
extern std::atomic<uint32_t> tapVolume;

// What the touch thread asks of the platform; tests hand in a fake.
class TouchPlatform {
 public:
  virtual ~TouchPlatform() = default;
  virtual ce::ScreenSize screenSize() = 0;
  virtual void injectPointer(const ce::PointerEvent& event) = 0;
  virtual uint32_t readTapVolume() = 0;
  virtual void keyClick(int32_t kind) = 0;
};


struct TouchReport {
  bool penDown = false;
  int32_t x = 0;  // absolute 0..65535 across the screen (not clamped)
  int32_t y = 0;
};

// Decodes the frame in `block` (a mapped 288-byte channel block) for a screen
// of `screen` pixels.
TouchReport decodeTouchFrame(const uint8_t* block, ce::ScreenSize screen);

// One report: advances touchState, injects, clicks on the
// first down report.
void handleTouchReport(const TouchReport& report, TouchPlatform& platform, uint32_t clickKind);

// Opens "CRT1:EVENT" and "CRT1" and starts the thread. Returns 0 in every
// case; without the event, or with a block that cannot be opened or mapped,
// no thread runs.
int startTouchInjector();
// The same over another platform (tests hand in a fake); it must outlive the
// thread, that is, the next stop.
int startTouchInjector(TouchPlatform& platform);

// Stops the thread (once this returns, no pointer event or click comes from
// it), then releases the view, the event and the block, each only if held.
// Injects no pen-up and leaves touchState as it is.
void stopTouchInjector();

// True while the touch thread runs (for tests and the daemon's own checks).
bool touchInjectorRunning();
