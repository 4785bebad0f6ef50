// The backlight switch and the key click. The lamp keeps no state of its own,
// so the threads that switch and click need no lock; a missing lamp or click
// file does nothing, and the sound layer drops all but one of two clicks at once.
#include "devices/backlight_click.h"

#include "platform/power_nodes.h"
#include "platform/sound.h"

namespace shub::devices {

void RealLampAndSpeaker::switchLamp(bool on) {
  // A failed switch leaves the lamp as it was; nothing to do about it.
  os::switchBacklight(on, on ? kBacklightOnCode : kBacklightOffCode);
}

void RealLampAndSpeaker::playClick() { os::startSoundUnlessPlaying(kClickSoundPath); }

void Backlight::turn(bool on) {
  on_.store(on);
  device_.switchLamp(on);
}

void Backlight::keyClick(int32_t kind) {
  if (kind == 1 || kind == 2) device_.playClick();
}

}  // namespace shub::devices
