// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The backlight: the daemon's own record of the lamp (it is never asked), the
// switch that sends the lamp its code, and the key click. Shared by the frame
// assembler, the touch injector, the control channel and the power watcher;
// the lamp keeps no state of its own, so their threads need no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "platform/sound.h"

namespace shub::devices {

// Request codes a simulated lamp records; tools watching dev/BKL1 rely on them.
inline constexpr uint32_t kBacklightOnCode = 0x321044;
inline constexpr uint32_t kBacklightOffCode = 0x321048;
inline constexpr const char* kClickSoundPath = "\\residentflash2\\click.wav";

// BKL1, found at each switch: a regular file records `record`; a sysfs backlight
// gets `bl_power`. True when the node took the request; nothing is created.
bool switchBacklight(bool on, std::string_view record);

// What the lamp and the click ask of the device; tests hand in a fake.
class LampAndSpeaker {
 public:
  virtual ~LampAndSpeaker() = default;
  virtual void switchLamp(bool on) = 0;  // a missing or failing lamp stays as it was
  virtual void playClick() = 0;          // never over a sound still playing
};

class RealLampAndSpeaker final : public LampAndSpeaker {
 public:
  void switchLamp(bool on) override {  // a recording lamp gets the code as "0x%06X\n"
    char record[16];
    std::snprintf(record, sizeof record, "0x%06X\n", static_cast<unsigned>(on ? kBacklightOnCode : kBacklightOffCode));
    switchBacklight(on, record);
  }
  void playClick() override { os::startSoundUnlessPlaying(kClickSoundPath); }
};

class Backlight {
 public:
  explicit Backlight(LampAndSpeaker& device) : device_(device) {}
  bool on() const { return on_.load(); }
  // Records `on` first, then sends the lamp its code; with no lamp the record stands.
  void turn(bool on) {
    on_.store(on);
    device_.switchLamp(on);
  }
  void assume(bool on) { on_.store(on); }  // what the lamp is taken to be; no code
  void keyClick(int32_t kind) {            // kinds 1 and 2 click; others play nothing
    if (kind == 1 || kind == 2) device_.playClick();
  }

 private:
  LampAndSpeaker& device_;
  std::atomic<bool> on_{true};
};

}  // namespace shub::devices
