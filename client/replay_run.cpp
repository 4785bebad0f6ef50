// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl replay --run: a throw-away device (its own CE_ROOT and CE_OBJECTS in
// a temporary folder, simulated lamp, battery, pointer, sound and screen, a
// pty as COM7) with a serialhub of its own and the route file given; plays
// the capture and prints every frame the daemon delivers, one line each:
// "CRT<N>: <hex bytes>". A regression test in one command.
//
// The output must not depend on how busy the machine is. So bytes go out one
// at a time, and the next goes only once the tap shows the daemon has handed
// this one to its assembler (which is after the frame it completed, if any,
// was delivered) and every frame that byte delivered has been printed: one
// byte completes at most one frame, so no frame can be overwritten unseen.
// Frames are peeked, never consumed, so the daemon's own consumers (touch,
// control) see every frame. Power lines drive the simulated battery and wait
// until the daemon's status shows the change (its sleep or wake sequence has
// run); backlight lines wait until the lamp shows the switch; hang-ups close
// the pty and wait until the daemon has reopened a new one.
//
// Whatever happens, the daemon gets SIGTERM and is waited for, and the
// folder is removed. Killed outright, we cannot: the daemon then gets SIGTERM
// from the kernel (its parent-death signal), and the next run removes the
// folder, whose name tells the pid of its owner.
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <serialhub/channel.h>

#include "client/capture_tap.h"
#include "client/replay.h"
#include "client/replay_link.h"
#include "client/scratch_folder.h"
#include "platform/client_objects.h"
#include "platform/tool_files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "router/tap_ring.h"

namespace fs = std::filesystem;

namespace shub::client {

namespace {

constexpr auto kStartWait = std::chrono::seconds(30);   // a daemon under a sanitizer on a busy machine
constexpr auto kByteWait = std::chrono::seconds(10);    // until the daemon has read a byte
constexpr auto kPowerWait = std::chrono::seconds(15);   // a tick, then the 2.5 s sleep sequence
constexpr auto kPortWait = std::chrono::seconds(10);    // a hang-up noticed, the port reopened
constexpr int kStopWaitMs = 10000;
constexpr const char* kLampOff = "0x321048";  // the simulated lamp's record of "off"
constexpr const char* kFolderPrefix = "crtctl-replay";

// The daemon to run: --daemon, else beside crtctl, else where the install
// puts it, else on PATH.
std::optional<std::string> findDaemon(const ReplayOptions& options, std::string* why) {
  if (options.daemon) {
    std::error_code failure;
    const fs::file_status status = fs::status(*options.daemon, failure);
    if (fs::is_regular_file(status) && (status.permissions() & fs::perms::owner_exec) != fs::perms::none) {
      return *options.daemon;
    }
    refuse(why, *options.daemon + ": not a program");
    return std::nullopt;
  }
  std::optional<std::string> found = findDaemonProgram();
  if (!found) refuse(why, "no serialhub beside crtctl, in " SERIALHUB_LIBEXEC_DIR " or on PATH (give --daemon PATH)");
  return found;
}

bool writeText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The simulated lamp's state: off when the last code it was sent is off's;
// on before any (the daemon takes it to be on at start).
bool lampOn(const fs::path& lamp) {
  const std::string text = readText(lamp);
  const size_t last = text.rfind("0x");
  return last == std::string::npos || text.compare(last, std::strlen(kLampOff), kLampOff) != 0;
}

bool stats(shub_status& status) { return shub_stats(&status) == 0 && status.daemon_alive != 0; }

// The frames of one channel printed so far.
struct Watched {
  int32_t number = 0;
  shub_channel* channel = nullptr;
  uint64_t seq = 0;
};

class OwnDevice {
 public:
  OwnDevice(const ToolContext& context, const ReplayOptions& options) : context_(context), options_(options) {}
  ~OwnDevice() { tearDown(); }

  bool setUp();
  bool play(const Capture& capture);
  // Stops the daemon and removes the folder; false when the daemon did not end well.
  bool tearDown();

 private:
  bool fail(const std::string& message);
  bool failWithLog(const std::string& message);
  bool linkNewPty();
  bool daemonGone();
  template <typename Condition>
  bool waitFor(Condition condition, std::chrono::steady_clock::duration limit, const char* what);
  bool openChannels();
  bool sendByte(uint8_t byte);
  void printFrames();
  bool hangUp();
  bool setPower(bool mains);

  const ToolContext& context_;
  const ReplayOptions& options_;
  fs::path base_, root_, objects_, log_;
  os::FolderLock folderLock_;
  std::unique_ptr<os::Pty> pty_;
  int pid_ = -1;
  bool failed_ = false;
  os::Block tap_;
  std::optional<router::TapReader> reader_;
  uint64_t lineStart_ = 0, sent_ = 0;
  std::vector<Watched> channels_;
  std::string where_;  // the capture line being played, for messages
};

bool OwnDevice::fail(const std::string& message) {
  if (!failed_) std::fprintf(context_.err, "crtctl replay: %s%s\n", message.c_str(), where_.c_str());
  failed_ = true;
  return false;
}

bool OwnDevice::failWithLog(const std::string& message) {
  const bool first = !failed_;
  fail(message);
  const std::string log = readText(log_);
  if (first && !log.empty()) std::fprintf(context_.err, "serialhub said:\n%s", log.c_str());
  return false;
}

bool OwnDevice::daemonGone() {
  int status = 0;
  if (pid_ < 0 || !os::childEnded(pid_, status)) return false;
  pid_ = -1;
  return failWithLog("serialhub ended with status " + std::to_string(status));
}

template <typename Condition>
bool OwnDevice::waitFor(Condition condition, std::chrono::steady_clock::duration limit, const char* what) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (uint32_t looks = 0; !condition(); ++looks) {
    if (daemonGone()) return false;
    if (interruptedNow(context_.interrupted)) return fail("interrupted");
    if (std::chrono::steady_clock::now() >= deadline) return failWithLog(what);
    // Most waits end within microseconds: look again at once a few times.
    if (looks < 20) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(looks < 200 ? 50 : 1000));
    }
  }
  return true;
}

bool OwnDevice::linkNewPty() {
  std::string why;
  pty_ = os::Pty::open(&why);
  if (!pty_) return fail("no pty: " + why);
  std::error_code failure;
  fs::create_symlink(pty_->slave(), root_ / "dev" / SHUB_SERIAL_NODE, failure);
  return !failure || fail(SHUB_SERIAL_NODE " link: " + failure.message());
}

bool OwnDevice::setUp() {
  std::string problem;
  const std::optional<std::string> daemon = findDaemon(options_, &problem);
  if (!daemon) return fail(problem);
  sweepScratchFolders(kFolderPrefix);
  const std::optional<std::string> base = makeScratchFolder(kFolderPrefix, &problem);
  if (!base) return fail("temporary folder: " + problem);
  base_ = *base;
  // Held for our life: a sweep by another run leaves the folder alone.
  if (!folderLock_.tryLock(base_.string())) return fail(base_.string() + ": " + std::strerror(errno));
  root_ = base_ / "root";
  objects_ = base_ / "objects";
  log_ = base_ / "serialhub.log";
  std::error_code failure;
  if (!fs::create_directories(root_ / "dev", failure)) return fail(root_.string() + ": " + failure.message());
  const fs::path dev = root_ / "dev";
  const bool made = writeText(dev / "BAT1", "1\n") && writeText(dev / "BKL1", "") && writeText(dev / "pointer", "") &&
                    writeText(dev / "sound", "") && writeText(dev / "screen", "800x480\n");
  if (!made) return fail("cannot make the simulated devices in " + dev.string());
  if (!linkNewPty()) return false;
  os::setEnvironment("CE_ROOT", root_.string());
  os::setEnvironment("CE_OBJECTS", objects_.string());
  os::setEnvironment("NOTIFY_SOCKET", "");  // the service manager is ours, not its
  os::setEnvironment("WATCHDOG_USEC", "");
  std::string why;
  pid_ = os::startChild({*daemon, "--routes", *options_.routes}, log_.string(), &why);
  if (pid_ < 0) return fail(*daemon + ": " + why);
  // Ready once its first power tick has run: start-up is over by then.
  const auto ready = [] {
    shub_status status;
    return stats(status) && status.power != SHUB_STATUS_POWER_UNKNOWN && status.port_opens > 0;
  };
  if (!waitFor(ready, kStartWait, "serialhub did not get ready")) return false;
  if (!openTap(tap_, &problem)) return failWithLog(problem);
  reader_.emplace(tap_.data());
  lineStart_ = reader_->lineBytes();
  return openChannels();
}

bool OwnDevice::openChannels() {
  shub_status status;
  if (!stats(status)) return failWithLog("serialhub's status object went away");
  for (uint32_t i = 0; i < status.entry_count; ++i) {
    const int32_t number = status.entries[i].channel;
    bool known = false;
    for (const Watched& watched : channels_) known |= watched.number == number;
    if (known) continue;
    Watched watched{number, shub_channel_open(number), 0};
    if (watched.channel == nullptr) return failWithLog("CRT" + std::to_string(number) + ": " + std::strerror(errno));
    channels_.push_back(watched);
    uint8_t none[1];
    if (shub_channel_peek(watched.channel, 0, none, 0, &channels_.back().seq) < 0) {
      return failWithLog("CRT" + std::to_string(number) + ": " + std::strerror(errno));
    }
  }
  return true;
}

void OwnDevice::printFrames() {
  uint8_t frame[SHUB_BLOCK_DATA_SIZE];
  for (Watched& watched : channels_) {
    const uint64_t before = watched.seq;
    const int length = shub_channel_peek(watched.channel, 0, frame, sizeof frame, &watched.seq);
    if (length <= 0) continue;
    if (watched.seq > before + 1) {
      std::fprintf(context_.err, "crtctl replay: CRT%d: %" PRIu64 " frame(s) went by unseen\n", watched.number,
                   watched.seq - before - 1);
    }
    std::fprintf(context_.out, "CRT%d: %s\n", watched.number, router::hexText(frame, static_cast<size_t>(length)).c_str());
    std::fflush(context_.out);
  }
}

bool OwnDevice::sendByte(uint8_t byte) {
  std::string why;
  const PtyFeed wrote = feedPty(*pty_, &byte, 1, kByteWait, context_.interrupted, &why);
  if (wrote == PtyFeed::stopped) return fail("interrupted");
  if (wrote == PtyFeed::noReader) return failWithLog("serialhub did not hold its port");
  if (wrote != PtyFeed::done) return fail(why);
  ++sent_;
  const bool read = waitFor([this] { return reader_->lineBytes() - lineStart_ >= sent_; }, kByteWait,
                            "serialhub did not read the line");
  if (read) printFrames();
  return read;
}

bool OwnDevice::hangUp() {
  shub_status status;
  if (!stats(status)) return failWithLog("serialhub's status object went away");
  const uint64_t hangups = status.hangups;
  const uint64_t opens = status.port_opens;
  std::error_code failure;
  fs::remove(root_ / "dev" / SHUB_SERIAL_NODE, failure);  // before the pty: see LinkedPty
  pty_.reset();
  const auto counted = [](auto field, uint64_t than) {
    return [field, than] {
      shub_status now;
      return stats(now) && now.*field > than;
    };
  };
  return waitFor(counted(&shub_status::hangups, hangups), kPortWait, "serialhub did not notice the hang-up") &&
         linkNewPty() &&
         waitFor(counted(&shub_status::port_opens, opens), kPortWait, "serialhub did not reopen its port");
}

bool OwnDevice::setPower(bool mains) {
  if (!writeText(root_ / "dev" / "BAT1", mains ? "1\n" : "0\n")) return fail("cannot write the simulated battery");
  const uint32_t wanted = mains ? SHUB_STATUS_POWER_MAINS : SHUB_STATUS_POWER_BATTERY;
  return waitFor(
      [wanted] {
        shub_status status;
        return stats(status) && status.power == wanted;
      },
      kPowerWait, "serialhub did not see the power change");
}

bool OwnDevice::play(const Capture& capture) {
  ReplayPacer pacer(options_, capture.timed);
  const fs::path lamp = root_ / "dev" / "BKL1";
  for (const CaptureItem& item : capture.items) {
    where_ = " (at line " + std::to_string(item.lineNumber) + " of " + options_.capture + ")";
    if (!pacer.waitForItem(item.timeUs, context_.interrupted)) return fail("interrupted");
    bool done = true;
    switch (item.event) {
      case CaptureEvent::bytes:
        for (size_t i = 0; done && i < item.bytes.size(); ++i) {
          done = pacer.waitForByte(context_.interrupted) && sendByte(item.bytes[i]);
          pacer.sent(1);
        }
        break;
      case CaptureEvent::hangup: done = hangUp(); break;
      case CaptureEvent::power: done = setPower(item.on); break;
      case CaptureEvent::backlight:
        done = waitFor([&] { return lampOn(lamp) == item.on; }, kPortWait, "the backlight was not switched");
        break;
    }
    if (!done) return false;
  }
  where_.clear();
  return true;
}

bool OwnDevice::tearDown() {
  for (Watched& watched : channels_) shub_channel_close(watched.channel);
  channels_.clear();
  reader_.reset();
  tap_ = {};
  if (pid_ >= 0) {
    const int status = os::stopChild(pid_, kStopWaitMs);
    pid_ = -1;
    if (status != 0) failWithLog("serialhub ended with status " + std::to_string(status));
  }
  std::error_code failure;
  if (!root_.empty()) fs::remove(root_ / "dev" / SHUB_SERIAL_NODE, failure);
  pty_.reset();
  if (!base_.empty()) fs::remove_all(base_, failure);
  base_.clear();
  folderLock_.unlock();
  return !failed_;
}

}  // namespace

int replayOnOwnDevice(const ToolContext& context, const ReplayOptions& options, const Capture& capture) {
  OwnDevice device(context, options);
  const bool played = device.setUp() && device.play(capture);
  const bool stopped = device.tearDown();
  return played && stopped ? kExitOk : kExitFailed;
}

}  // namespace shub::client
