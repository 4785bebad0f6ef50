// Start-up and shutdown of serialhub. The order is the point: the channel
// events exist before any service opens them, the serial reader starts only
// once the blocks it feeds exist, and at shutdown every thread that reads a
// block or the port is stopped before what it reads is released.
#include "daemon/daemon.h"

#include <algorithm>
#include <string>

#include <serialhub/protocol.h>

#include "daemon/device_services.h"
#include "devices/backlight_click.h"
#include "devices/power_watcher.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "router/channel_blocks.h"

namespace {

// What the frame assembler asks of the rest of the daemon: the clock, the
// backlight flag, the dark-screen click and the channel events.
class AssemblerHooks final : public FrameAssemblerHooks {
 public:
  uint32_t tickCount() override { return ce::tickCount(); }
  int32_t backlightOn() override { return ::backlightOn.load(std::memory_order_relaxed); }
  void keyClick(int32_t kind) override { KeyClick(kind); }
  void setEvent(ce::NamedEvent* event) override { ce::setEvent(event); }
  bool tellsFrames() override { return ce::verboseLog(); }
  void frameSeen(uint32_t, int32_t channel, const uint8_t* bytes, uint32_t length, bool delivered) override {
    std::string line = "CRT" + std::to_string(channel) + (delivered ? ": " : ": dropped while dark: ");
    static constexpr char kHex[] = "0123456789abcdef";
    for (uint32_t i = 0; i < length; ++i) {
      if (i > 0) line += ' ';
      line += kHex[bytes[i] >> 4];
      line += kHex[bytes[i] & 15];
    }
    ce::logLine(ce::LogLevel::debug, line);
  }
};

AssemblerHooks assemblerHooks;

// The serial link feeding this process's frame assembler.
bool startSerial(DaemonState& state) {
  state.assembler = std::make_unique<FrameAssembler>(state.routes, assemblerHooks, state.publisher.get());
  FrameAssembler* assembler = state.assembler.get();
  state.link = std::make_unique<SerialLink>(SerialLinkDeps{
      .openPort =
          [&state](ce::PortOpenReport& report) {
            std::unique_ptr<ce::SerialPort> port = openComPort(report);
            if (port) statusPortOpened(state);
            return port;
          },
      .portState = [&state](const std::string& text) { state.status.setPort(text); },
      .hungUp = [&state] { statusHungUp(state); },
      .feedBytes = [assembler](uint32_t count, const uint8_t* bytes) { assembler->feedBytes(count, bytes); },
  });
  if (state.link->startSerialLink() == 0) return false;
  return true;
}

// The status object, made after the channel blocks so that it names their
// channels. Without it the daemon runs on: only watchers and the operator's
// counters are lost, which is said once.
void startStatus(DaemonState& state) {
  std::string problem;
  if (!ce::openStatusObject(state.statusObject, problem)) {
    ce::logLine(ce::LogLevel::error, problem);
    return;
  }
  int32_t channels[kRouteTableSize] = {};
  const uint32_t count = std::min(state.routes.count, kRouteTableSize);
  for (uint32_t i = 0; i < count; ++i) channels[i] = state.routes.entries[i].channel;
  state.publisher = std::make_unique<StatusPublisher>(state.statusObject.address);
  state.publisher->initialise(channels, count);
  state.publisher->setBacklight(::backlightOn.load(std::memory_order_relaxed) != 0);
}

}  // namespace

void statusPortOpened(DaemonState& state) {
  if (state.publisher) state.publisher->portOpened();
}

void statusHungUp(DaemonState& state) {
  if (state.publisher) state.publisher->hungUp();
}

void statusPower(DaemonState& state, bool onMains) {
  if (state.publisher) state.publisher->setPower(onMains ? SHUB_STATUS_POWER_MAINS : SHUB_STATUS_POWER_BATTERY);
}

void statusBacklight(DaemonState& state, bool on) {
  if (state.publisher) state.publisher->setBacklight(on);
}

DaemonState& daemonState() {
  static DaemonState state;
  return state;
}

bool startDaemon(DaemonState& state) {
  ce::initLockRecord(state.lock);
  state.battery = ce::findBattery();  // absent is fine: the power watcher never transitions
  const int loaded = state.routesPath.empty() ? loadRouteTable(state.routes)
                                              : loadRouteTableFrom(state.routes, state.routesPath.c_str(), stdout);
  if (loaded == 0) {
    state.exitCode = kExitConfig;
    return false;
  }
  if (const std::string problem = ce::prepareObjectsDirectory(); !problem.empty()) {
    ce::logLine(ce::LogLevel::error, "objects directory " + problem);
    state.exitCode = kExitConfig;
    return false;
  }
  // The one object every daemon makes: where not even it can be made, no
  // client could ever reach this daemon.
  if (!ce::openOrCreateBlock(kWriteBlockName, kChannelBlockSize).valid()) {
    ce::logLine(ce::LogLevel::error,
                ce::withError("objects directory " + ce::ceObjects() + ": cannot make " + kWriteBlockName, errno));
    state.exitCode = kExitConfig;
    return false;
  }
  // Before anything that shutdown would have to release: without its
  // descriptors the daemon could neither tick nor be stopped.
  state.loop = ce::openMainLoop(kPowerTickPeriodMs);
  if (state.loop == nullptr) {
    state.exitCode = kExitFailure;
    return false;
  }
  createChannelBlocks(state.routes, state.lock);
  startStatus(state);
  if (!startSerial(state)) return false;
  startDeviceServices(state);
  return true;
}

void shutdownDaemon(DaemonState& state) {
  ce::notifyServiceManager("STOPPING=1");
  ce::logLine(ce::LogLevel::info, "stopping");
  stopDeviceServices(state);
  if (state.link) state.link->stopSerialLink();  // reader and writer end here
  releaseChannelBlocks(state.routes);
  state.link.reset();
  state.assembler.reset();
  state.publisher.reset();
  ce::closeStatusObject(state.statusObject);
  state.battery.reset();
  ce::closeMainLoop(state.loop);
  state.loop = nullptr;
}

namespace {

// The loop's only work, once a second: the power watcher, the status line,
// and the watchdog's proof of life.
void tick(DaemonState& state, bool watchdog) {
  onPowerTick();
  state.status.setPower(acOnline.load() != 0 ? "on mains" : "on battery");
  statusPower(state, acOnline.load() != 0);
  // Until the backlight's toggles report themselves, the object shows the
  // flag as of the last tick.
  statusBacklight(state, ::backlightOn.load(std::memory_order_relaxed) != 0);
  if (watchdog) ce::notifyServiceManager("WATCHDOG=1");
}

}  // namespace

int runDaemon(DaemonState& state) {
  if (!startDaemon(state)) return state.exitCode;
  ce::notifyServiceManager("READY=1");
  const bool watchdog = ce::watchdogRequested();
  // A stop signal ends the loop.
  ce::runMainLoop(state.loop, [&state, watchdog] { tick(state, watchdog); });
  shutdownDaemon(state);
  return 0;
}
