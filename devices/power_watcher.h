// The power watcher: once a second, on the daemon's main thread, asks the
// battery whether AC power is on line. When it goes away the touch path
// stops, the backlight is made sure to be on, the sleep notice starts and
// then the platform's sleep program; when it returns the touch path restarts.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/power_nodes.h"

// 1 when the AC line was last seen on line (or is taken to be), 0 when it was
// last seen off line. Main thread only.
extern std::atomic<int32_t> acOnline;

inline constexpr uint32_t kPowerTickPeriodMs = 1000;  // the main loop's tick
inline constexpr const char* kNoticeProgram = "\\ResidentFlash2\\korvent\\app\\duskcard.exe";
inline constexpr const char* kNoticeCommandLine = "sleep";
inline constexpr const char* kSleepProgram = "residentflash2\\sleep.exe";

// What a tick and the sleep sequence ask of the rest of the daemon; tests
// hand in a fake.
class PowerPlatform {
 public:
  virtual ~PowerPlatform() = default;
  // The AC line status; nullopt when the battery gave no answer.
  virtual std::optional<uint8_t> readLineStatus() = 0;
  virtual void stopTouch() = 0;
  virtual void startTouch() = 0;
  virtual void startProgram(const char* devicePath, const char* commandLine) = 0;
  virtual void pause(uint32_t ms) = 0;
  virtual void backlightSwitch(int32_t on) = 0;
};

// Hands the watcher the daemon's battery, found at start-up; without one no
// tick ever gets an answer. From then on the main loop calls onPowerTick()
// every kPowerTickPeriodMs.
void startPowerWatcher(const std::optional<ce::Battery>& battery);

// One look at the AC line, with the transition it calls for: onPowerTick()
// through the daemon's own platform, runPowerTick() through `platform`. Main
// thread only.
void onPowerTick();
void runPowerTick(PowerPlatform& platform);

// Backlight on if off, sleep notice, 1500 ms, platform sleep program.
void runSleepSequence(PowerPlatform& platform);
