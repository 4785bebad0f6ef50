// AC line transitions and the sleep sequence, run from the main loop's tick.
// The sequence pauses the main thread for 2.5 s; the ticks missed meanwhile
// collapse into one, which keeps a second tick from starting a second sequence.
//
// Must survive: a battery that gives no answer (every tick asks again), status
// values other than 0 and 1 (ignored), programs that cannot start (the
// sequence goes on), and any number of power cycles.
#include "devices/power_watcher.h"

#include <string>

#include "platform/log.h"
#include "platform/process.h"

namespace shub::devices {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kOfflineDelay{1000};
constexpr milliseconds kNoticeToSleep{1500};
constexpr milliseconds kOnlineSettle{50};
constexpr uint8_t kLineOffline = 0;
constexpr uint8_t kLineOnline = 1;

}  // namespace

void RealPowerPlatform::startProgram(const char* devicePath, const char* commandLine) {
  std::string why;
  const std::string program = std::string(devicePath) + (commandLine != nullptr ? std::string(" ") + commandLine : "");
  if (os::startProgram(devicePath, commandLine, &why)) return os::logLine(os::LogLevel::info, "started " + program);
  os::logLine(os::LogLevel::warning, "cannot start " + program + ": " + why);
}

void PowerWatcher::tick() {
  const std::optional<uint8_t> status = platform_.readLineStatus();
  if (!status) return;
  if (*status == kLineOffline && onMains_) goOffline();
  if (*status == kLineOnline && !onMains_) goOnline();
}

// Backlight on if off, sleep notice, 1500 ms, the platform sleep program.
void PowerWatcher::runSleepSequence() {
  // The notice must be visible, even if the peer had the lamp off.
  if (!backlight_.on()) backlight_.turn(true);
  platform_.startProgram(kNoticeProgram, kNoticeCommandLine);
  platform_.pause(kNoticeToSleep);
  platform_.startProgram(kSleepProgram, nullptr);
}

void PowerWatcher::goOffline() {
  onMains_ = false;
  os::logLine(os::LogLevel::info, "AC power lost: touch input stopped, the device goes to sleep");
  platform_.stopTouch();
  platform_.pause(kOfflineDelay);
  runSleepSequence();
}

void PowerWatcher::goOnline() {
  onMains_ = true;
  os::logLine(os::LogLevel::info, "AC power restored: touch input started");
  backlight_.assume(true);  // taken to be on after a wake-up; no code is sent
  platform_.startTouch();
  platform_.pause(kOnlineSettle);
}

}  // namespace shub::devices
