// Seam for the device services. Nothing is started yet: the daemon runs as a
// frame router only. backlightOn already starts at 1 (devices/backlight_click),
// so route entry 0 is delivered meanwhile.
//
// For whoever fills this in: the channel events exist once createChannelBlocks()
// has run, which is before this is called; state.window carries the power
// watcher's timer; and stopDeviceServices() must stop every thread that reads
// a channel block before it returns, because the blocks are released next.
#include "daemon/device_services.h"

#include "daemon/daemon.h"

void startDeviceServices(DaemonState& state) { (void)state; }

void stopDeviceServices(DaemonState& state) { (void)state; }
