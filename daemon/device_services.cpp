// The device services' place in the daemon's life: started after the serial
// port is configured (the channel events exist by then), stopped after the
// main loop ends and before the channel blocks are released.
//
// Must survive: channels 1 or 4 missing from the route file (their services
// simply do not run), no GPS driver key, no battery device, and a touch
// injector already stopped by the power watcher (nothing is released twice).
#include "daemon/device_services.h"

#include "daemon/daemon.h"
#include "devices/backlight_click.h"
#include "devices/control_channel.h"
#include "devices/power_watcher.h"
#include "devices/touch_injector.h"
#include "platform/clock.h"
#include "platform/pointer.h"
#include "platform/registry.h"

namespace {

constexpr uint32_t kServiceGapMs = 50;
constexpr const char* kGpsDriverKey = "Drivers\\GpsCom2";

// The GPS port driver is outside the system and none runs on Linux: it counts
// as active from start-up, when its registry key exists, until shutdown
// deactivates it. Main thread only.
bool gpsDriverActive = false;

bool activateGpsDriver() { return ce::registryKeyExists("HKEY_LOCAL_MACHINE", kGpsDriverKey); }

}  // namespace

void startDeviceServices(DaemonState& state) {
  ce::pauseMs(kServiceGapMs);
  backlightOn.store(1);  // taken to be on; no code is sent
  startControlChannel();
  ce::pauseMs(kServiceGapMs);
  ce::preparePointerDevice();  // a uinput mouse must exist before the first touch
  startTouchInjector();
  ce::pauseMs(kServiceGapMs);
  gpsDriverActive = activateGpsDriver();
  startPowerWatcher(state.battery);
}

void stopDeviceServices(DaemonState&) {
  stopControlChannel();  // thread first, then view, event, block
  stopTouchInjector();   // the same, for whatever it still holds
  gpsDriverActive = false;  // deactivated; nothing ran behind it to stop
}
