// crtctl replay FILE: its options, its pacing, and playing into a pty linked
// where a running daemon looks for its port ($CE_ROOT/dev/COM7, or --link).
//
// It must leave the device as it found it: a link it replaced (to the real
// line, say) is put back, and its own link goes before its pty does, so a
// daemon looking for its lost port never takes a pty it was not meant to.
// A node that is not a link is never replaced.
#include "client/replay.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <serialhub/channel.h>

#include "client/capture_tap.h"
#include "platform/client_objects.h"
#include "platform/paths.h"
#include "platform/serial_port.h"
#include "router/tap_ring.h"

namespace fs = std::filesystem;

namespace client {

namespace {

constexpr uint32_t kDumpBaud = 19200;
constexpr uint32_t kBitsPerByte = 10;  // 8N1: start, 8 data, stop
constexpr auto kOpenWait = std::chrono::seconds(10);
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

bool loadCapture(const std::string& path, Capture& capture, std::string& problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem = path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    problem = path + ": cannot be read";
    return false;
  }
  if (!parseCapture(text.str(), capture, problem)) {
    problem = path + ": " + problem;
    return false;
  }
  return true;
}

// The pty behind a link, and what the link was before.
class LinkedPty {
 public:
  explicit LinkedPty(std::string link) : link_(std::move(link)) {}
  ~LinkedPty() { release(); }

  // Saves the old link, then links a new pty in its place.
  bool take(std::string& problem) {
    std::error_code failure;
    const fs::file_status status = fs::symlink_status(link_, failure);
    if (fs::exists(status) && !fs::is_symlink(status)) {
      problem = link_ + ": exists and is not a link; not replaced";
      return false;
    }
    // A link to nothing (a pty gone) is not put back: its name may later
    // belong to another pty, which the daemon would then take for its line.
    if (fs::is_symlink(status) && fs::exists(link_, failure)) previous_ = fs::read_symlink(link_, failure).string();
    return plug(problem);
  }
  // A new pty behind the link; the old one, if any, hangs up.
  bool plug(std::string& problem) {
    unplug();
    if (!ce::openPty(pty_)) {
      problem = std::string("no pty: ") + std::strerror(errno);
      return false;
    }
    std::error_code failure;
    const std::string temporary = link_ + ".replay";
    fs::remove(temporary, failure);
    fs::create_symlink(pty_.slave, temporary, failure);
    if (!failure) fs::rename(temporary, link_, failure);  // replaces the old link at once
    if (failure) {
      problem = link_ + ": " + failure.message();
      fs::remove(temporary, failure);
      ce::closePty(pty_);
      return false;
    }
    linked_ = true;
    return true;
  }
  // The link goes first, then the pty: the line hangs up.
  void unplug() {
    std::error_code failure;
    if (linked_) fs::remove(link_, failure);
    linked_ = false;
    ce::closePty(pty_);
  }
  void release() {
    unplug();
    std::error_code failure;
    if (!previous_.empty()) fs::create_symlink(previous_, link_, failure);
    previous_.clear();
  }
  const ce::Pty& pty() const { return pty_; }

 private:
  std::string link_;
  std::string previous_;
  bool linked_ = false;
  ce::Pty pty_;
};

std::string defaultLink() {
  const std::optional<std::string> node = ce::findDeviceNode("COM7");
  if (node) return *node;
  const std::string root = ce::ceRoot();
  return (root == "/" ? "" : root) + "/dev/COM7";
}

uint64_t portOpens() {
  shub_status status;
  return shub_stats(&status) == 0 ? status.port_opens : 0;
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

int replayToLink(const ToolContext& context, const ReplayOptions& options, const Capture& capture) {
  const bool ownPort = !options.link;
  LinkedPty line(options.link.value_or(defaultLink()));
  // A daemon that runs takes the pty when it next looks for its port.
  const bool daemon = ownPort && daemonRuns();
  const uint64_t opens = daemon ? portOpens() : 0;
  std::string problem;
  if (!line.take(problem)) return fail(context, problem);
  if (daemon && !waitFor([&] { return portOpens() > opens; }, kOpenWait, context.interrupted)) {
    std::fprintf(context.err, "crtctl replay: serialhub did not take the pty (does it hold another port?); "
                              "playing anyway\n");
  }
  ce::MappedObject tap;
  std::optional<TapReader> reader;
  if (daemon && openTap(tap, problem)) reader.emplace(tap.address);
  const uint64_t base = reader ? reader->lineBytes() : 0;
  ReplayPacer pacer(options, capture.timed);
  uint64_t sent = 0;
  bool saidSkipped = false;
  int status = kExitOk;
  for (const CaptureItem& item : capture.items) {
    if (!pacer.waitForItem(item.timeUs, context.interrupted)) break;
    if (item.event == CaptureEvent::bytes) {
      if (!ce::writePty(line.pty(), item.bytes.data(), item.bytes.size())) {
        status = fail(context, "pty " + line.pty().slave + ": " + std::strerror(errno));
        break;
      }
      pacer.sent(item.bytes.size());
      sent += item.bytes.size();
    } else if (item.event == CaptureEvent::hangup) {
      if (!line.plug(problem)) {
        status = fail(context, problem);
        break;
      }
    } else if (!saidSkipped) {
      std::fprintf(context.err, "crtctl replay: power and backlight lines are played only with --run\n");
      saidSkipped = true;
    }
  }
  // Let the daemon read the last bytes before the line goes.
  if (reader) waitFor([&] { return reader->lineBytes() - base >= sent; }, kDrainWait, context.interrupted);
  ce::closeMappedObject(tap);
  line.release();
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
  if (!loadCapture(options->capture, capture, problem)) return fail(context, problem);
  return options->run ? replayOnOwnDevice(context, *options, capture) : replayToLink(context, *options, capture);
}

}  // namespace client
