// AC line transitions and the sleep sequence, run from the main loop's tick
// on the main thread. The sequence pauses that thread for 2.5 s; the loop
// takes no other tick meanwhile (the ticks missed collapse into one), which is
// what keeps a second tick from starting a second sequence.
//
// Must survive: no battery device or a failing request (no transition; every
// tick asks again), status values other than 0 and 1 (ignored), programs that
// cannot start (the sequence goes on), and any number of power cycles (the
// touch injector releases everything at each stop; started programs are
// reaped by the process layer).
#include "devices/power_watcher.h"

#include "devices/backlight_click.h"
#include "devices/touch_injector.h"
#include "platform/clock.h"
#include "platform/process.h"

std::atomic<int32_t> acOnline{1};

namespace {

constexpr uint32_t kOfflineDelayMs = 1000;
constexpr uint32_t kNoticeToSleepMs = 1500;
constexpr uint32_t kOnlineSettleMs = 50;
constexpr uint32_t kStatusAnswerSize = 56;
constexpr uint8_t kLineOffline = 0;
constexpr uint8_t kLineOnline = 1;

class RealPowerPlatform final : public PowerPlatform {
 public:
  bool requestLineStatus(uint8_t& status) override {
    const uint32_t request = 1;
    uint8_t answer[kStatusAnswerSize] = {};
    uint32_t returned = 0;
    if (!ce::deviceIoControl(battery.load(), ce::kPowerStatusCode, &request, sizeof request, answer,
                             sizeof answer, &returned)) {
      return false;
    }
    status = answer[0];
    return true;
  }
  void stopTouch() override { stopTouchInjector(); }
  void startTouch() override { startTouchInjector(); }
  void startProgram(const char* devicePath, const char* commandLine) override {
    ce::startProgram(devicePath, commandLine);
  }
  void pause(uint32_t ms) override { ce::pauseMs(ms); }
  void backlightSwitch(int32_t on) override { BacklightSwitch(on); }

  std::atomic<ce::DeviceHandle*> battery{nullptr};
};

RealPowerPlatform realPlatform;
std::atomic<PowerPlatform*> currentPlatform{&realPlatform};

void goOffline(PowerPlatform& platform) {
  acOnline.store(0);
  platform.stopTouch();
  platform.pause(kOfflineDelayMs);
  runSleepSequence();
}

void goOnline(PowerPlatform& platform) {
  acOnline.store(1);
  // The lamp is taken to be on after a wake-up; no code is sent.
  backlightOn.store(1);
  platform.startTouch();
  platform.pause(kOnlineSettleMs);
}

}  // namespace

void setPowerPlatform(PowerPlatform* platform) {
  currentPlatform.store(platform != nullptr ? platform : &realPlatform);
}

void startPowerWatcher(ce::DeviceHandle* battery) { realPlatform.battery.store(battery); }

void onPowerTick() {
  PowerPlatform& platform = *currentPlatform.load();
  uint8_t status = 0;
  if (!platform.requestLineStatus(status)) return;
  if (status == kLineOffline && acOnline.load() != 0) goOffline(platform);
  if (status == kLineOnline && acOnline.load() == 0) goOnline(platform);
}

void runSleepSequence() {
  PowerPlatform& platform = *currentPlatform.load();
  // The notice must be visible: switch the lamp on if the peer had it off.
  if (backlightOn.load() == 0) {
    backlightOn.store(1);
    platform.backlightSwitch(1);
  }
  platform.startProgram(kNoticeProgram, kNoticeCommandLine);
  platform.pause(kNoticeToSleepMs);
  platform.startProgram(kSleepProgram, nullptr);
}
