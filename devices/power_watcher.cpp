// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// AC line transitions and the sleep sequence, run from the main loop's tick.
// The sequence pauses the main thread for 2.5 s; the ticks missed meanwhile
// collapse into one, which keeps a second tick from starting a second sequence.
//
// Must survive: a battery that gives no answer (every tick asks again), status
// values other than 0 and 1 (ignored), programs that cannot start (the
// sequence goes on), and any number of power cycles.
#include "devices/power_watcher.h"

#include <charconv>
#include <filesystem>
#include <string>
#include <system_error>

#include "devices/small_file.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace shub::devices {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kOfflineDelay{1000};
constexpr milliseconds kNoticeToSleep{1500};
constexpr milliseconds kOnlineSettle{50};
constexpr uint8_t kLineOffline = 0;
constexpr uint8_t kLineOnline = 1;

// The first line as a decimal 0..255, white space around it allowed.
std::optional<uint8_t> readStatusFile(const std::string& path) {
  const std::optional<std::string> text = readSmallFile(path, 64, TooLong::cut);
  if (!text) return std::nullopt;
  const std::string_view line = trimSpace(std::string_view(*text).substr(0, text->find('\n')));
  unsigned value = 0;
  const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
  if (line.size() > 3 || error != std::errc() || end != line.data() + line.size() || value > 255) return std::nullopt;
  return static_cast<uint8_t>(value);
}

bool externalSupplyOnline(const std::string& supply) {
  const std::optional<std::string> type = readSmallFile(supply + "/type", 64, TooLong::cut);
  const std::string_view kind = type ? trimSpace(*type) : "";
  return (kind == "Mains" || kind == "USB") && readStatusFile(supply + "/online") == uint8_t{1};
}

}  // namespace

std::optional<Battery> findBattery() {
  const std::optional<std::string> node = os::findDeviceNode("BAT1");
  std::error_code error;
  const auto type = node ? std::filesystem::status(*node, error).type() : std::filesystem::file_type::none;
  const bool directory = type == std::filesystem::file_type::directory;
  if (!directory && type != std::filesystem::file_type::regular) return std::nullopt;
  return Battery{*node, directory};
}

std::optional<uint8_t> readAcLineStatus(const Battery& battery) {
  if (!battery.directory) return readStatusFile(battery.path);
  std::error_code error;
  if (std::filesystem::exists(battery.path + "/online", error)) return readStatusFile(battery.path + "/online");
  // Every entry of the class but hidden ones is a supply (a link to its device); none: online.
  bool any = false, online = false;
  for (std::filesystem::directory_iterator entry(battery.path, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string supply = entry->path().filename();
    if (supply[0] == '.') continue;
    any = true;
    online = online || externalSupplyOnline(battery.path + "/" + supply);
  }
  if (error) return std::nullopt;
  return static_cast<uint8_t>(online || !any);
}

void RealPowerPlatform::startProgram(const char* devicePath, const char* commandLine) {
  std::string why;
  const std::string program = std::string(devicePath) + (commandLine != nullptr ? std::string(" ") + commandLine : "");
  if (os::startProgram(devicePath, commandLine, &why)) return os::logInfo("started %s", program.c_str());
  os::logWarning("cannot start %s: %s", program.c_str(), why.c_str());
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
  os::logInfo("AC power lost: touch input stopped, the device goes to sleep");
  platform_.stopTouch();
  platform_.pause(kOfflineDelay);
  runSleepSequence();
}

void PowerWatcher::goOnline() {
  onMains_ = true;
  os::logInfo("AC power restored: touch input started");
  backlight_.assume(true);  // taken to be on after a wake-up; no code is sent
  platform_.startTouch();
  platform_.pause(kOnlineSettle);
}

}  // namespace shub::devices
