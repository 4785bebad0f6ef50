// The power watcher: once a second, on the daemon's main thread, asks the
// battery whether AC power is on line. When it goes away the touch path
// stops, the backlight is made sure to be on, the sleep notice starts and
// then the platform's sleep program; when it returns the touch path restarts.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/power_nodes.h"

namespace shub::devices {

// 1 when the AC line was last seen on line (or taken to be), else 0.
extern std::atomic<int32_t> acOnline;

inline constexpr uint32_t kPowerTickPeriodMs = 1000;  // the main loop's tick
inline constexpr const char* kNoticeProgram = "\\ResidentFlash2\\korvent\\app\\duskcard.exe";
inline constexpr const char* kNoticeCommandLine = "sleep";
inline constexpr const char* kSleepProgram = "residentflash2\\sleep.exe";

// What a tick and the sleep sequence ask of the daemon; tests hand in a fake.
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

// Hands the watcher the battery found at start-up (none: no tick gets an
// answer); the main loop then calls onPowerTick() every kPowerTickPeriodMs.
void startPowerWatcher(const std::optional<os::Battery>& battery);

// One look at the AC line and the transition it calls for. Main thread only.
void onPowerTick();
void runPowerTick(PowerPlatform& platform);

}  // namespace shub::devices
