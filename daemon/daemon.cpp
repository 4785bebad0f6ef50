// Start-up and shutdown of serialhub. The order is the point: the channel
// events exist before any service opens them, the serial reader starts only
// once the blocks it feeds exist, and at shutdown every thread that reads a
// block or the port is stopped before what it reads is released.
#include "daemon/daemon.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <serialhub/protocol.h>

#include "devices/backlight_click.h"
#include "devices/control_channel.h"
#include "devices/power_watcher.h"
#include "devices/touch_injector.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/pointer.h"
#include "platform/registry.h"
#include "router/channel_blocks.h"
#include "router/hex_text.h"

namespace shub::daemon {

namespace {

class AssemblerHooks final : public router::FrameAssemblerHooks {
 public:
  uint32_t tickCount() override { return os::tickCount(); }
  int32_t backlightOn() override { return devices::backlightOn.load(std::memory_order_relaxed); }
  void keyClick(int32_t kind) override { devices::KeyClick(kind); }
  void setEvent(os::NamedEvent* event) override { os::setEvent(event); }
  bool tellsFrames() override { return os::verboseLog(); }
  void frameSeen(uint32_t, int32_t channel, const uint8_t* bytes, uint32_t length, bool delivered) override {
    os::logLine(os::LogLevel::debug, "CRT" + std::to_string(channel) + (delivered ? ": " : ": dropped while dark: ") +
                                         router::hexText(bytes, length));
  }
};

AssemblerHooks assemblerHooks;

bool startSerial(DaemonState& state) {
  state.assembler = std::make_unique<router::FrameAssembler>(state.routes, assemblerHooks, state.publisher.get());
  router::FrameAssembler* assembler = state.assembler.get();
  router::TapWriter* tap = state.tap ? state.tap->writer.get() : nullptr;
  state.link = std::make_unique<router::SerialLink>(router::SerialLinkDeps{
      .openPort =
          [&state](os::PortOpenReport& report) {
            std::unique_ptr<os::SerialPort> port = router::openComPort(report);
            if (port && state.publisher) state.publisher->portOpened();
            return port;
          },
      .portState = [&state](const std::string& text) { state.status.setPort(text); },
      .hungUp =
          [&state, tap] {
            if (state.publisher) state.publisher->hungUp();
            if (tap) tap->hangUp(router::tapClockUs());
          },
      // The tap is written after the assembler, so a reader that sees a read
      // in it also sees the frames that read completed.
      .feedBytes =
          [assembler, tap](uint32_t count, const uint8_t* bytes) {
            const uint64_t arrived = tap ? router::tapClockUs() : 0;
            assembler->feedBytes(count, bytes);
            if (tap) tap->append(arrived, bytes, count);
          },
  });
  return state.link->startSerialLink() != 0;
}

// Made after the channel blocks, so that it names their channels. Without it
// the daemon runs on: only watchers and counters are lost, which is said once.
void startStatus(DaemonState& state) {
  std::string problem;
  if (!os::openStatusObject(state.statusObject, problem)) {
    os::logLine(os::LogLevel::error, problem);
    return;
  }
  int32_t channels[router::kRouteTableSize] = {};
  const uint32_t count = std::min(state.routes.count, router::kRouteTableSize);
  for (uint32_t i = 0; i < count; ++i) channels[i] = state.routes.entries[i].channel;
  state.publisher = std::make_unique<router::StatusPublisher>(state.statusObject.address);
  state.publisher->initialise(channels, count);
  state.publisher->setBacklight(devices::backlightOn.load(std::memory_order_relaxed) != 0);
}

// Fixed points 50 ms apart, once the channel events exist.
void startDeviceServices(DaemonState& state) {
  constexpr uint32_t kServiceGapMs = 50;
  os::pauseMs(kServiceGapMs);
  devices::backlightOn.store(1);  // taken to be on; no code is sent
  devices::startControlChannel();
  os::pauseMs(kServiceGapMs);
  os::preparePointerDevice();  // a uinput mouse must exist before the first touch
  devices::startTouchInjector();
  os::pauseMs(kServiceGapMs);
  // No GPS port driver runs on Linux: it counts as active while its key exists.
  state.gpsDriverActive = os::registryKeyExists("HKEY_LOCAL_MACHINE", "Drivers\\GpsCom2");
  devices::startPowerWatcher(state.battery);
}

// The raw receive tap; without it the daemon runs on untapped, said once.
void startTap(DaemonState& state) {
  std::string problem;
  state.tap = router::openReceiveTap(&problem);
  if (!state.tap) os::logLine(os::LogLevel::error, problem);
}

// Start-up ends early with `code`; `line`, when given, says why.
bool endStart(DaemonState& state, int code, const std::string& line = {}) {
  if (!line.empty()) os::logLine(os::LogLevel::error, line);
  state.exitCode = code;
  return false;
}

bool startDaemon(DaemonState& state) {
  os::initLockRecord(state.lock);
  state.battery = os::findBattery();  // absent is fine: the power watcher never transitions
  const bool loaded = state.routesPath.empty() ? router::loadRouteTable(state.routes)
                                               : router::loadRouteTableFrom(state.routes, state.routesPath.c_str(), stdout);
  if (!loaded) return endStart(state, kExitConfig);  // said by the loader
  if (std::string why; !os::prepareObjectsDirectory(&why)) {
    return endStart(state, kExitConfig, "objects directory " + why);
  }
  // Before anything shutdown releases: without it the daemon can't be stopped.
  state.loop = os::openMainLoop(devices::kPowerTickPeriodMs);
  if (state.loop == nullptr) return endStart(state, kExitFailure);
  router::createChannelBlocks(state.routes, state.lock);
  startStatus(state);
  startTap(state);
  if (!startSerial(state)) return false;
  startDeviceServices(state);
  return true;
}

// False when the serial reader would not stop: what it uses is never
// released then, and only the end of the process may take it.
bool shutdownDaemon(DaemonState& state) {
  os::notifyServiceManager("STOPPING=1");
  os::logLine(os::LogLevel::info, "stopping");
  // Every thread that reads a channel block stops before the blocks go.
  devices::stopControlChannel();
  devices::stopTouchInjector();  // if the power watcher has not already
  state.gpsDriverActive = false;
  if (state.link && !state.link->stopSerialLink()) return false;  // reader and writer end here
  router::releaseChannelBlocks(state.routes);
  state.link.reset();
  state.assembler.reset();
  state.tap.reset();
  state.publisher.reset();
  os::closeStatusObject(state.statusObject);
  state.battery.reset();
  os::closeMainLoop(state.loop);
  state.loop = nullptr;
  return true;
}

// The loop's only work, once a second: the power watcher, the status line and
// object (the backlight as of this tick), and the watchdog's proof of life.
void tick(DaemonState& state, bool watchdog) {
  devices::onPowerTick();
  const bool onMains = devices::acOnline.load() != 0;
  state.status.setPower(onMains ? "on mains" : "on battery");
  if (state.publisher) {
    state.publisher->setPower(onMains ? SHUB_STATUS_POWER_MAINS : SHUB_STATUS_POWER_BATTERY);
    state.publisher->setBacklight(devices::backlightOn.load(std::memory_order_relaxed) != 0);
  }
  if (watchdog) os::notifyServiceManager("WATCHDOG=1");
}

}  // namespace

DaemonState& daemonState() {
  static DaemonState state;
  return state;
}

int runDaemon(DaemonState& state) {
  if (!startDaemon(state)) return state.exitCode;
  os::notifyServiceManager("READY=1");
  const bool watchdog = os::watchdogRequested();
  // A stop signal ends the loop.
  os::runMainLoop(state.loop, [&state, watchdog] { tick(state, watchdog); });
  // A reader stuck in a call still uses the daemon's state: the process ends
  // at once, without the destructors that would pull it from under it.
  if (!shutdownDaemon(state)) std::_Exit(0);
  return 0;
}

}  // namespace shub::daemon
