// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The power watcher: once a second, on the daemon's main thread, asks the
// battery whether AC power is on line. When it goes away the touch path
// stops, the backlight is made sure to be on, the sleep notice starts and
// then the platform's sleep program; when it returns the touch path restarts.
#pragma once

#include <optional>
#include <string>

#include "devices/backlight_click.h"
#include "devices/touch_injector.h"
#include "router/threads.h"

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

// BAT1, found once: a regular file, a sysfs supply or /sys/class/power_supply.
struct Battery {
  std::string path;  // host path of the node
  bool directory;    // sysfs rather than a simulated file
};

// nullopt when the node is missing or neither a regular file nor a directory.
std::optional<Battery> findBattery();

// The AC line status of `battery`: a file's first line as a decimal 0..255
// (white space around it allowed), a sysfs supply's `online`, or, for the
// class directory, on line when a Mains or USB supply is or there is none.
// nullopt when the node cannot be read or holds anything else.
std::optional<uint8_t> readAcLineStatus(const Battery& battery);

// Over the battery found at start-up (none: no tick gets an answer).
class RealPowerPlatform final : public PowerPlatform {
 public:
  RealPowerPlatform(std::optional<Battery> battery, TouchInjector& touch)
      : battery_(std::move(battery)), touch_(touch) {}
  std::optional<uint8_t> readLineStatus() override { return battery_ ? readAcLineStatus(*battery_) : std::nullopt; }
  void stopTouch() override { touch_.stop(); }
  void startTouch() override { touch_.start(); }
  void startProgram(const char* devicePath, const char* commandLine) override;  // said either way
  void pause(std::chrono::milliseconds duration) override { router::pauseFor(duration); }

 private:
  std::optional<Battery> battery_;
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
