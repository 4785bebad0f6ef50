// The backlight switch and the key click. Neither keeps state between calls:
// the control thread and the main thread switch the backlight, the serial
// reader and the touch thread click, all without a lock. The lamp is never
// asked for its state; backlightOn is the daemon's own record of it.
//
// Must survive: a missing backlight device (nothing is sent, the caller's flag
// stands), a missing or broken click file (nothing plays), clicks from two
// threads at once (the sound layer drops all but one).
#include "devices/backlight_click.h"

#include "platform/power_nodes.h"
#include "platform/sound.h"

std::atomic<int32_t> backlightOn{1};

void BacklightSwitch(int32_t on) {
  // The outcome is not examined: a failed switch leaves the lamp as it was.
  ce::switchBacklight(on != 0, on != 0 ? kBacklightOnCode : kBacklightOffCode);
}

int32_t KeyClick(int32_t kind) {
  if (kind == 1 || kind == 2) ce::playSoundAsyncNoStop(kClickSoundPath);
  return 1;
}

