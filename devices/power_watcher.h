// The power watcher: once a second, on the daemon's main thread, asks the
// battery whether AC power is on line. When it goes away the touch path
// stops, the backlight is made sure to be on, the sleep notice starts and
// then the platform's sleep program; when it returns the touch path restarts.
#pragma once

#include <optional>

#include "devices/backlight_click.h"
#include "devices/touch_injector.h"
#include "platform/clock.h"

namespace shub::devices {

inline constexpr std::chrono::milliseconds kPowerTickPeriod{1000};  // the main loop's tick
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
  virtual void pause(std::chrono::milliseconds duration) = 0;
};

// Over the battery found at start-up (none: no tick gets an answer).
class RealPowerPlatform final : public PowerPlatform {
 public:
  RealPowerPlatform(std::optional<os::Battery> battery, TouchInjector& touch)
      : battery_(std::move(battery)), touch_(touch) {}
  std::optional<uint8_t> readLineStatus() override { return battery_ ? os::readAcLineStatus(*battery_) : std::nullopt; }
  void stopTouch() override { touch_.stop(); }
  void startTouch() override { touch_.start(); }
  void startProgram(const char* devicePath, const char* commandLine) override;  // said either way
  void pause(std::chrono::milliseconds duration) override { os::pauseFor(duration); }

 private:
  std::optional<os::Battery> battery_;
  TouchInjector& touch_;
};

class PowerWatcher {
 public:
  PowerWatcher(PowerPlatform& platform, Backlight& backlight) : platform_(platform), backlight_(backlight) {}

  // One look at the AC line and the transition it calls for; the main loop
  // calls it every kPowerTickPeriod. Main thread only.
  void tick();
  // When the AC line was last seen on line (or taken to be).
  bool onMains() const { return onMains_; }

 private:
  void goOffline();
  void goOnline();
  void runSleepSequence();

  PowerPlatform& platform_;
  Backlight& backlight_;
  bool onMains_ = true;
};

}  // namespace shub::devices
