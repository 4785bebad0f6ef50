// The backlight switch and the key click. Neither keeps state, so the threads
// that switch and click need no lock; a missing lamp or click file does
// nothing, and the sound layer drops all but one of two clicks at once.
#include "devices/backlight_click.h"

#include "platform/power_nodes.h"
#include "platform/sound.h"

namespace shub::devices {

std::atomic<int32_t> backlightOn{1};

void BacklightSwitch(int32_t on) {
  // A failed switch leaves the lamp as it was; nothing to do about it.
  os::switchBacklight(on != 0, on != 0 ? kBacklightOnCode : kBacklightOffCode);
}

int32_t KeyClick(int32_t kind) {
  if (kind == 1 || kind == 2) os::playSoundAsyncNoStop(kClickSoundPath);
  return 1;
}

}  // namespace shub::devices
