// Start-up and shutdown of serialhub. The order is the point: the channel
// events exist before any service opens them, the serial reader starts only
// once the blocks it feeds exist, and at shutdown every thread that reads a
// block or the port is stopped before what it reads is released.
#include "daemon/daemon.h"

#include <cstdio>
#include <string>

#include "daemon/device_services.h"
#include "devices/backlight_click.h"
#include "devices/power_watcher.h"
#include "platform/notify.h"
#include "platform/paths.h"
#include "router/channel_blocks.h"

namespace {

// The serial link feeding this process's frame assembler.
bool startSerial(DaemonState& state) {
  state.assembler = std::make_unique<FrameAssembler>(state.routes, daemonFrameAssemblerHooks());
  FrameAssembler* assembler = state.assembler.get();
  state.link = std::make_unique<SerialLink>(SerialLinkDeps{
      .openPort = openComPort,
      .feedBytes = [assembler](uint32_t count, const uint8_t* bytes) { assembler->feedBytes(count, bytes); },
  });
  if (state.link->startSerialLink() == 0) return false;
  return true;
}

}  // namespace

DaemonState& daemonState() {
  static DaemonState state;
  return state;
}

bool startDaemon(DaemonState& state) {
  ce::initLockRecord(state.lock);
  state.battery = ce::openDevice(kBatteryDevice);  // null is fine
  if (loadRouteTable(state.routes) == 0) return false;
  if (const std::string problem = ce::prepareObjectsDirectory(); !problem.empty()) {
    std::fprintf(stderr, "serialhub: objects directory %s\n", problem.c_str());
    state.exitCode = kExitConfig;
    return false;
  }
  // Before anything that shutdown would have to release: without its
  // descriptors the daemon could neither tick nor be stopped.
  state.loop = ce::openMainLoop(kPowerTickPeriodMs);
  if (state.loop == nullptr) return false;
  createChannelBlocks(state.routes, state.lock);
  if (!startSerial(state)) return false;
  startDeviceServices(state);
  return true;
}

void shutdownDaemon(DaemonState& state) {
  ce::notifyServiceManager("STOPPING=1");
  stopDeviceServices(state);
  if (state.link) state.link->stopSerialLink();  // reader and writer end here
  releaseChannelBlocks(state.routes);
  state.link.reset();
  state.assembler.reset();
  ce::closeDevice(state.battery);
  state.battery = nullptr;
  ce::closeMainLoop(state.loop);
  state.loop = nullptr;
}

int runDaemon(DaemonState& state) {
  if (!startDaemon(state)) return state.exitCode;
  ce::notifyServiceManager("READY=1");
  // The power watcher's tick is the loop's only work; a stop signal ends it.
  ce::runMainLoop(state.loop, onPowerTick);
  shutdownDaemon(state);
  return 0;
}
