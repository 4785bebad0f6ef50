// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl replay FILE: its options, its pacing, and playing into a pty linked
// where a running daemon looks for its port ($CE_ROOT/dev/COM7, or --link).
//
// It plays only once someone (the daemon) has opened the pty, and only while
// someone holds it: bytes written to a pty nobody holds are lost. SIGINT and
// SIGTERM end it within a fraction of a second wherever it waits, also while
// a reader does not take the bytes. The link: see replay_link.h.
#include "client/replay.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <serialhub/channel.h>

#include "client/capture_tap.h"
#include "client/replay_link.h"
#include "platform/client_objects.h"
#include "platform/paths.h"
#include "platform/serial_port.h"
#include "router/tap_ring.h"

namespace shub::client {

namespace {

constexpr uint32_t kDumpBaud = 19200;
constexpr uint32_t kBitsPerByte = 10;  // 8N1: start, 8 data, stop
constexpr auto kOpenWait = std::chrono::seconds(10);  // for the daemon to take the pty: it looks for its port every second at most
constexpr auto kDrainWait = std::chrono::seconds(5);

int fail(const ToolContext& context, const std::string& message) {
  std::fprintf(context.err, "crtctl replay: %s\n", message.c_str());
  return kExitFailed;
}

std::optional<double> parseSpeed(std::string_view text) {
  std::istringstream in{std::string(text)};
  double value = 0;
  char extra = 0;
  if (!(in >> value) || in >> extra || !(value > 0) || value > 1e9) return std::nullopt;
  return value;
}

// Parses the arguments; prints the usage error itself and gives nullopt then.
std::optional<ReplayOptions> parseReplayOptions(const ToolContext& context) {
  ReplayOptions options;
  bool haveFile = false;
  const auto& args = context.args;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const bool takesValue = arg == "--link" || arg == "--speed" || arg == "--baud" || arg == "--routes" ||
                            arg == "--daemon";
    if (takesValue && i + 1 >= args.size()) {
      usageError(context, "replay", (std::string(arg) + " needs a value").c_str());
      return std::nullopt;
    }
    const std::string_view value = takesValue ? args[++i] : std::string_view();
    if (arg == "--run") {
      options.run = true;
    } else if (arg == "--link") {
      options.link = std::string(value);
    } else if (arg == "--routes") {
      options.routes = std::string(value);
    } else if (arg == "--daemon") {
      options.daemon = std::string(value);
    } else if (arg == "--speed") {
      const std::optional<double> speed = parseSpeed(value);
      if (!speed) {
        usageError(context, "replay", "--speed needs a number above 0");
        return std::nullopt;
      }
      options.speed = *speed;
    } else if (arg == "--baud") {
      options.baud = parseCount(value);
      if (!options.baud || *options.baud == 0) {
        usageError(context, "replay", "--baud needs a rate above 0");
        return std::nullopt;
      }
    } else if (arg.starts_with("-") || haveFile) {
      usageError(context, "replay", ("unexpected argument " + std::string(arg)).c_str());
      return std::nullopt;
    } else {
      options.capture = std::string(arg);
      haveFile = true;
    }
  }
  const char* problem = !haveFile                          ? "needs a capture file"
                        : options.run && !options.routes   ? "--run needs --routes ROUTE_FILE"
                        : options.run && options.link      ? "--link and --run do not go together"
                        : !options.run && options.routes   ? "--routes goes with --run"
                        : !options.run && options.daemon   ? "--daemon goes with --run"
                                                           : nullptr;
  if (problem != nullptr) {
    usageError(context, "replay", problem);
    return std::nullopt;
  }
  return options;
}

bool loadCapture(const std::string& path, Capture& capture, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return refuse(why, path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return refuse(why, path + ": cannot be read");
  std::string problem;
  return parseCapture(text.str(), capture, &problem) || refuse(why, path + ": " + problem);
}

std::string defaultLink() {
  const std::optional<std::string> node = os::findDeviceNode(SHUB_SERIAL_NODE);
  if (node) return *node;
  const std::string root = os::ceRoot();
  return (root == "/" ? "" : root) + "/dev/" SHUB_SERIAL_NODE;
}

bool daemonRuns() {
  shub_status status;
  return shub_stats(&status) == 0 && status.daemon_alive != 0;
}

// Waits for `condition` in short slices; false after `limit` or an interrupt.
template <typename Condition>
bool waitFor(Condition condition, std::chrono::steady_clock::duration limit, const std::atomic<bool>* interrupted) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline || interruptedNow(interrupted)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Plays into the pty of `line` once someone (the daemon) has opened it.
int playToLink(const ToolContext& context, const ReplayOptions& options, const Capture& capture, ReplayLink& line) {
  const PtyFeed opened = waitForReader(line.pty(), kOpenWait, context.interrupted);
  if (opened == PtyFeed::noReader) {
    return fail(context, "nobody opened the pty linked as " + line.path() + " within " +
                             std::to_string(kOpenWait.count()) + " s: no serialhub looks for its port there");
  }
  if (opened != PtyFeed::done) return kExitOk;  // interrupted: said by the caller
  // A daemon of ours reads the line now: its tap tells when it has read the bytes.
  os::Block tap;
  std::optional<router::TapReader> reader;
  std::string problem;
  if (!options.link && daemonRuns() && openTap(tap, &problem)) reader.emplace(tap.data());
  const uint64_t base = reader ? reader->lineBytes() : 0;
  uint64_t sent = 0;
  // Lets the daemon read what was sent before its line goes.
  const auto drain = [&] {
    if (reader) waitFor([&] { return reader->lineBytes() - base >= sent; }, kDrainWait, context.interrupted);
  };
  ReplayPacer pacer(options, capture.timed);
  bool saidSkipped = false;
  int status = kExitOk;
  for (const CaptureItem& item : capture.items) {
    if (!pacer.waitForItem(item.timeUs, context.interrupted)) break;
    if (item.event == CaptureEvent::bytes) {
      const PtyFeed wrote =
          feedPty(line.pty(), item.bytes.data(), item.bytes.size(), kOpenWait, context.interrupted, &problem);
      if (wrote == PtyFeed::stopped) break;
      if (wrote == PtyFeed::noReader) {
        status = fail(context, "the pty linked as " + line.path() + " lost its reader, and none came back within " +
                                   std::to_string(kOpenWait.count()) + " s");
        break;
      }
      if (wrote == PtyFeed::failed) {
        status = fail(context, problem);
        break;
      }
      pacer.sent(item.bytes.size());
      sent += item.bytes.size();
    } else if (item.event == CaptureEvent::hangup) {
      drain();
      if (!line.replug(&problem)) {
        status = fail(context, problem);
        break;
      }
    } else if (!saidSkipped) {
      std::fprintf(context.err, "crtctl replay: power and backlight lines are played only with --run\n");
      saidSkipped = true;
    }
  }
  if (status == kExitOk) drain();
  tap = {};
  return status;
}

int replayToLink(const ToolContext& context, const ReplayOptions& options, const Capture& capture) {
  ReplayLink line(options.link.value_or(defaultLink()));
  std::string problem;
  if (!line.take(&problem)) return fail(context, problem);
  const int status = playToLink(context, options, capture, line);
  line.release(context.err);
  if (status == kExitOk && interruptedNow(context.interrupted)) return fail(context, "interrupted");
  return status;
}

}  // namespace

bool interruptedNow(const std::atomic<bool>* interrupted) {
  return interrupted != nullptr && interrupted->load(std::memory_order_relaxed);
}

ReplayPacer::ReplayPacer(const ReplayOptions& options, bool timed)
    : speed_(options.speed), baud_(options.baud ? options.baud : timed ? std::nullopt : std::optional(kDumpBaud)) {}

bool ReplayPacer::waitForItem(uint64_t timeUs, const std::atomic<bool>* interrupted) {
  if (baud_) return waitUntil(nextByte_, interrupted);
  const uint64_t gapUs = lastTimeUs_ ? timeUs - *lastTimeUs_ : 0;
  lastTimeUs_ = timeUs;
  const bool due = waitUntil(lastStart_ + std::chrono::microseconds(static_cast<int64_t>(gapUs / speed_)), interrupted);
  lastStart_ = Clock::now();
  return due;
}

bool ReplayPacer::waitForByte(const std::atomic<bool>* interrupted) {
  return !baud_ || waitUntil(nextByte_, interrupted);
}

void ReplayPacer::sent(uint64_t count) {
  if (!baud_) return;
  nextByte_ = std::max(nextByte_, Clock::now()) +
              std::chrono::microseconds(count * kBitsPerByte * 1000000u / *baud_);
}

bool ReplayPacer::waitUntil(Clock::time_point due, const std::atomic<bool>* interrupted) {
  for (auto now = Clock::now(); now < due; now = Clock::now()) {
    if (interruptedNow(interrupted)) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(due - now, std::chrono::milliseconds(50)));
  }
  return !interruptedNow(interrupted);
}

int runReplay(const ToolContext& context) {
  const std::optional<ReplayOptions> options = parseReplayOptions(context);
  if (!options) return kExitUsage;
  Capture capture;
  std::string problem;
  if (!loadCapture(options->capture, capture, &problem)) return fail(context, problem);
  return options->run ? replayOnOwnDevice(context, *options, capture) : replayToLink(context, *options, capture);
}

}  // namespace shub::client
