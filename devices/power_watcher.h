// The power watcher: once a second, on the daemon's main thread, asks the
// battery driver whether AC power is on line. When it goes away the touch
// path stops, the backlight is made sure to be on, the sleep notice starts and
// then the platform's sleep program; when it returns the touch path restarts.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/device_control.h"
#include "platform/window.h"

// 1 when the AC line was last seen on line (or is taken to be), 0 when it was
// last seen off line. Main thread only.
extern std::atomic<int32_t> acOnline;

inline constexpr uintptr_t kPowerTimerId = 8000;
inline constexpr uint32_t kPowerTimerPeriodMs = 1000;
inline constexpr const char* kNoticeProgram = "\\ResidentFlash2\\korvent\\app\\duskcard.exe";
inline constexpr const char* kNoticeCommandLine = "sleep";
inline constexpr const char* kSleepProgram = "residentflash2\\sleep.exe";

// What a tick and the sleep sequence ask of the rest of the daemon; tests
// hand in a fake.
class PowerPlatform {
 public:
  virtual ~PowerPlatform() = default;
  // The power status request; false when it failed, else byte 0 in `status`.
  virtual bool requestLineStatus(uint8_t& status) = 0;
  virtual void stopTouch() = 0;
  virtual void startTouch() = 0;
  virtual void startProgram(const char* devicePath, const char* commandLine) = 0;
  virtual void pause(uint32_t ms) = 0;
  virtual void backlightSwitch(int32_t on) = 0;
};

// Replaces the platform (nullptr restores the real one).
void setPowerPlatform(PowerPlatform* platform);

// Registers the timer (id 8000, 1000 ms, onPowerTimer) on `window`, the
// daemon's hidden window. `battery` is the daemon's "BAT1:" handle, opened at
// start-up and possibly null (then no request ever succeeds). Returns the
// timer's result, non-zero on success.
uintptr_t startPowerWatcher(ce::Window* window, ce::DeviceHandle* battery);

// The timer procedure; only `timerId` is looked at.
void onPowerTimer(ce::Window* window, uint32_t message, uintptr_t timerId, uint32_t time);

// Backlight on if off, sleep notice, 1500 ms, platform sleep program.
void runSleepSequence();
