// Start-up and shutdown of serialhub. The order is the point: the channel
// events exist before any service opens them, the serial reader starts only
// once the blocks it feeds exist, and at shutdown every thread that reads a
// block or the port is stopped before what it reads is released.
#include "daemon/daemon.h"

#include <cstdio>
#include <string>

#include "daemon/device_services.h"
#include "daemon/message_loop.h"
#include "devices/backlight_click.h"
#include "platform/notify.h"
#include "platform/paths.h"
#include "router/channel_blocks.h"

namespace {

intptr_t daemonWindowProc(ce::Window* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return ce::defWindowProc(window, message, wParam, lParam);
}

// Steps 8 and 9: the serial link feeding this process's frame assembler.
bool startSerial(DaemonState& state) {
  state.assembler = std::make_unique<FrameAssembler>(state.routes, daemonFrameAssemblerHooks());
  FrameAssembler* assembler = state.assembler.get();
  state.link = std::make_unique<SerialLink>(SerialLinkDeps{
      .openPort = openComPort,
      .feedBytes = [assembler](uint32_t count, const uint8_t* bytes) { assembler->feedBytes(count, bytes); },
  });
  if (state.link->startSerialLink() == 0) return false;
  state.link->configureSerialPort();
  return true;
}

}  // namespace

DaemonState& daemonState() {
  static DaemonState state;
  return state;
}

bool startDaemon(DaemonState& state) {
  // From the first step on, a stop signal ends the main loop (and so runs the
  // ordered shutdown) instead of killing the process.
  ce::postQuitOnSignals();
  state.stopWait = ce::createEvent(nullptr, false);                         // 1
  ce::initLockRecord(state.lock);                                           // 2
  if (ce::registerClass(kDaemonWindowClass, daemonWindowProc) == 0) return false;  // 3
  state.window = ce::createWindow(kDaemonWindowClass, "", ce::WS_VISIBLE, 0, 0, 0, 0);  // 4
  if (!state.window) return false;
  state.battery = ce::openDevice(kBatteryDevice);                           // 5: null is fine
  if (loadRouteTable(state.routes) == 0) return false;                      // 6
  if (const std::string problem = ce::prepareObjectsDirectory(); !problem.empty()) {
    std::fprintf(stderr, "serialhub: objects directory %s\n", problem.c_str());
    state.exitCode = kExitConfig;
    return false;
  }
  createChannelBlocks(state.routes, state.lock);                            // 7
  if (!startSerial(state)) return false;                                    // 8, 9
  startDeviceServices(state);                                               // 10 to 13
  return true;
}

void shutdownDaemon(DaemonState& state) {
  ce::notifyServiceManager("STOPPING=1");
  // Mended: nothing used to signal the stop-wait event, so shutdown waited
  // for ever; the quit path now sets it, and the wait below is satisfied.
  ce::setEvent(state.stopWait);
  ce::waitEvent(state.stopWait, ce::kInfinite);  // 1
  stopDeviceServices(state);                     // 2 to 4
  if (state.link) state.link->stopSerialLink();  // 5: reader and writer end here
  releaseChannelBlocks(state.routes);            // 6
  state.link.reset();
  state.assembler.reset();
  ce::closeDevice(state.battery);
  state.battery = nullptr;
  if (state.window) ce::destroyWindow(state.window);
  state.window = nullptr;
  ce::closeEvent(state.stopWait);
  state.stopWait = nullptr;
}

int runDaemon(DaemonState& state) {
  if (!startDaemon(state)) return state.exitCode;
  ce::notifyServiceManager("READY=1");
  runMessageLoop(platformMessageLoop());
  shutdownDaemon(state);
  return 0;  // 7
}
