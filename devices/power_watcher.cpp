// AC line transitions and the sleep sequence, run from the main loop's tick.
// The sequence pauses the main thread for 2.5 s; the ticks missed meanwhile
// collapse into one, which keeps a second tick from starting a second sequence.
//
// Must survive: a battery that gives no answer (every tick asks again), status
// values other than 0 and 1 (ignored), programs that cannot start (the
// sequence goes on), and any number of power cycles.
#include "devices/power_watcher.h"

#include <string>

#include "devices/backlight_click.h"
#include "devices/touch_injector.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/process.h"

namespace shub::devices {

std::atomic<int32_t> acOnline{1};

namespace {

constexpr uint32_t kOfflineDelayMs = 1000;
constexpr uint32_t kNoticeToSleepMs = 1500;
constexpr uint32_t kOnlineSettleMs = 50;
constexpr uint8_t kLineOffline = 0;
constexpr uint8_t kLineOnline = 1;

class RealPowerPlatform final : public PowerPlatform {
 public:
  std::optional<uint8_t> readLineStatus() override { return battery ? os::readAcLineStatus(*battery) : std::nullopt; }
  void stopTouch() override { stopTouchInjector(); }
  void startTouch() override { startTouchInjector(); }
  void startProgram(const char* devicePath, const char* commandLine) override {
    int error = 0;
    const std::string program = std::string(devicePath) + (commandLine != nullptr ? std::string(" ") + commandLine : "");
    if (os::startProgram(devicePath, commandLine, &error)) return os::logLine(os::LogLevel::info, "started " + program);
    os::logLine(os::LogLevel::warning, os::withError("cannot start " + program, error));
  }
  void pause(uint32_t ms) override { os::pauseMs(ms); }
  void backlightSwitch(int32_t on) override { BacklightSwitch(on); }

  std::optional<os::Battery> battery;  // main thread only
};

RealPowerPlatform realPlatform;

// Backlight on if off, sleep notice, 1500 ms, the platform sleep program.
void runSleepSequence(PowerPlatform& platform) {
  // The notice must be visible, even if the peer had the lamp off.
  if (backlightOn.load() == 0) {
    backlightOn.store(1);
    platform.backlightSwitch(1);
  }
  platform.startProgram(kNoticeProgram, kNoticeCommandLine);
  platform.pause(kNoticeToSleepMs);
  platform.startProgram(kSleepProgram, nullptr);
}

void goOffline(PowerPlatform& platform) {
  acOnline.store(0);
  os::logLine(os::LogLevel::info, "AC power lost: touch input stopped, the device goes to sleep");
  platform.stopTouch();
  platform.pause(kOfflineDelayMs);
  runSleepSequence(platform);
}

void goOnline(PowerPlatform& platform) {
  acOnline.store(1);
  os::logLine(os::LogLevel::info, "AC power restored: touch input started");
  backlightOn.store(1);  // taken to be on after a wake-up; no code is sent
  platform.startTouch();
  platform.pause(kOnlineSettleMs);
}

}  // namespace

void startPowerWatcher(const std::optional<os::Battery>& battery) { realPlatform.battery = battery; }

void onPowerTick() { runPowerTick(realPlatform); }

void runPowerTick(PowerPlatform& platform) {
  const std::optional<uint8_t> status = platform.readLineStatus();
  if (!status) return;
  if (*status == kLineOffline && acOnline.load() != 0) goOffline(platform);
  if (*status == kLineOnline && acOnline.load() == 0) goOnline(platform);
}

}  // namespace shub::devices
