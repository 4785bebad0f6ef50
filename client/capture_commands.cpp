// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl record: copies the daemon's raw receive tap CRT:TAP into a capture
// file (serialhub-capture(5)) until interrupted or for --seconds N, with the
// power and backlight changes the status object shows as event lines.
//
// The recorder only reads the daemon's objects, so it disturbs nothing; it
// looks every few milliseconds, far inside the time the 64 KiB ring holds
// at 19200 baud. A stretch it still missed (the recorder was stopped, the
// machine stalled, the line ran faster than the file is written) is noted
// in the file where it happened, at the recording's end too. The file is
// flushed at every look, so a recorder killed outright leaves what it had.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <serialhub/channel.h>

#include "client/capture_format.h"
#include "client/capture_tap.h"
#include "client/tool.h"
#include "platform/client_objects.h"
#include "platform/paths.h"
#include "router/receive_tap.h"
#include "router/tap_ring.h"

namespace shub::client {

namespace {

constexpr auto kLookPeriod = std::chrono::milliseconds(5);
constexpr uint32_t kLooksPerDeviceLook = 20;  // the status object changes once a second at most

int fail(const ToolContext& context, const std::string& message) {
  std::fprintf(context.err, "crtctl record: %s\n", message.c_str());
  return kExitFailed;
}

// What the status object shows of the device, as event lines need it.
struct DeviceState {
  std::optional<bool> mains;
  std::optional<bool> backlight;
};

DeviceState lookAtDevice() {
  DeviceState state;
  shub_status status;
  if (shub_stats(&status) != 0 || status.daemon_alive == 0) return state;
  if (status.power != SHUB_STATUS_POWER_UNKNOWN) state.mains = status.power == SHUB_STATUS_POWER_MAINS;
  state.backlight = status.backlight != 0;
  return state;
}

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  char text[32] = "?";
  if (gmtime_r(&now, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

struct Recording {
  FILE* file = nullptr;
  uint64_t startUs = 0;
  uint64_t reads = 0, bytes = 0, missed = 0;
  DeviceState device;

  uint64_t since(uint64_t timeUs) const { return timeUs > startUs ? timeUs - startUs : 0; }

  void write(const std::string& text) { std::fputs(text.c_str(), file); }

  void noteMissed(uint64_t count) {
    if (count == 0) return;
    write("# missed " + std::to_string(count) + " bytes here: the tap's ring overran\n");
    missed += count;
  }

  void take(const router::TapRecord& record) {
    noteMissed(record.missed);
    if (record.kind == SHUB_TAP_HANGUP) {
      write(eventLine(since(record.timeUs), CaptureEvent::hangup, false));
      return;
    }
    write(readLine(since(record.timeUs), record.bytes, record.count));
    ++reads;
    bytes += record.count;
  }

  // Power and backlight lines for what changed since the last look.
  void noteDevice(uint64_t nowUs) {
    const DeviceState now = lookAtDevice();
    if (now.mains && device.mains && *now.mains != *device.mains) {
      write(eventLine(since(nowUs), CaptureEvent::power, *now.mains));
    }
    if (now.backlight && device.backlight && *now.backlight != *device.backlight) {
      write(eventLine(since(nowUs), CaptureEvent::backlight, *now.backlight));
    }
    if (now.mains) device.mains = now.mains;
    if (now.backlight) device.backlight = now.backlight;
  }
};

}  // namespace

int runRecord(const ToolContext& context) {
  std::optional<std::string_view> path;
  std::optional<uint32_t> seconds;
  for (size_t i = 0; i < context.args.size(); ++i) {
    const std::string_view arg = context.args[i];
    if (arg == "--seconds") {
      seconds = i + 1 < context.args.size() ? parseCount(context.args[++i]) : std::nullopt;
      if (!seconds) return usageError(context, "record", "--seconds needs a whole number");
    } else if (arg.starts_with("-") || path) {
      return usageError(context, "record", ("unexpected argument " + std::string(arg)).c_str());
    } else {
      path = arg;
    }
  }
  if (!path) return usageError(context, "record", "needs the capture file to write");

  os::Block tap;
  std::string problem;
  if (!openTap(tap, &problem)) return fail(context, problem);
  Recording recording;
  const std::string file(*path);
  recording.file = std::fopen(file.c_str(), "w");
  if (recording.file == nullptr) {
    const int error = errno;
    tap = {};
    return fail(context, file + ": " + std::strerror(error));
  }
  router::TapReader reader(tap.data());
  recording.startUs = router::tapClockUs();
  recording.device = lookAtDevice();
  recording.write(std::string(kCaptureHeader) + "\n# recorded by crtctl from " + os::ceObjects() + " at " +
                  utcNow() + "\n");
  if (recording.device.mains && recording.device.backlight) {
    recording.write(std::string("# at the start: ") + (*recording.device.mains ? "on mains" : "on battery") +
                    ", backlight " + (*recording.device.backlight ? "on" : "off") + "\n");
  }
  std::fprintf(context.err, "recording the line into %s (interrupt to stop)\n", file.c_str());
  std::fflush(context.err);

  std::vector<router::TapRecord> records;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds.value_or(0));
  for (uint32_t look = 0;; ++look) {
    const bool last = (context.interrupted != nullptr && context.interrupted->load()) ||
                      (seconds && std::chrono::steady_clock::now() >= end);
    // The last look ends the recording at one moment of the line: whatever
    // the line carried before it is either written or noted as missed.
    uint64_t unseen = 0;
    if (last) unseen = reader.finish(records);
    else reader.poll(records);
    // A tap shrunk under us reads as zeros from then on: nothing more is its.
    if (tap.broken()) break;
    for (const router::TapRecord& record : records) recording.take(record);
    recording.noteMissed(unseen);
    if (look % kLooksPerDeviceLook == 0 || last) recording.noteDevice(router::tapClockUs());
    if (std::fflush(recording.file) != 0 || last) break;
    std::this_thread::sleep_for(kLookPeriod);
  }
  const int error = errno;  // of a failed write, if any
  const bool written = std::ferror(recording.file) == 0;
  const bool closed = std::fclose(recording.file) == 0;
  const bool broken = tap.broken();
  tap = {};
  if (!written || !closed) return fail(context, file + ": " + std::strerror(error));
  if (broken) {
    return fail(context, "tap " + os::objectPath(SHUB_TAP_NAME).value_or(SHUB_TAP_NAME) +
                             ": truncated by another process; the recording ends here");
  }
  std::fprintf(context.err, "%" PRIu64 " bytes in %" PRIu64 " reads recorded", recording.bytes, recording.reads);
  if (recording.missed != 0) std::fprintf(context.err, "; %" PRIu64 " bytes missed", recording.missed);
  std::fputc('\n', context.err);
  return kExitOk;
}

}  // namespace shub::client
