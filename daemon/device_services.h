// Where the device services (control channel, touch injector, GPS port
// driver, power watcher) join the daemon's start-up and shutdown. Both run on
// the main thread at fixed points: start after the serial port is configured
// and before the main loop, stop after the loop has ended and before the
// serial link and the channel blocks are released.
#pragma once

struct DaemonState;

// 50 ms apart: backlightOn = 1 (no control code) and the control channel; the
// pointer device and the touch injector; the GPS port driver
// "Drivers\GpsCom2"; then the power watcher on state.battery (ticked by the
// main loop).
void startDeviceServices(DaemonState& state);

// Releases the control channel's block and event, the touch injector's (only
// if it still holds them), and deactivates the GPS driver.
// Every service thread that reads a channel block is stopped here, before
// the blocks are released.
void stopDeviceServices(DaemonState& state);
