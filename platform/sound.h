// The click's sound: a sound file played without waiting for it, and never
// over a sound that is still playing. Where $CE_ROOT/dev/sound is a regular
// file nothing is heard: the file records the device path of each sound that
// starts, and the sound counts as playing for its frames divided by its sample
// rate. Otherwise it plays on ALSA's "default" PCM.
#pragma once

#include <cstdint>

namespace ce {

// Plays the file at `devicePath` (resolved below $CE_ROOT) unless a sound is
// playing; a missing or undecodable file plays nothing. True when it started.
bool playSoundAsyncNoStop(const char* devicePath);

// The millisecond clock that times a simulated sound; tests hand in their
// own, nullptr restores the real one. A sound playing by the old clock ends.
using SoundClock = uint64_t (*)();
void setSoundClock(SoundClock clock);

}  // namespace ce
