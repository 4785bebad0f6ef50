// The click's sound, played without waiting for it and never over one still
// playing: on ALSA's "default" PCM, or where $CE_ROOT/dev/sound is a regular
// file, recorded there as the device path of each sound that starts, which
// then counts as playing for its frames divided by its sample rate.
#pragma once

#include <cstdint>

namespace ce {

// A missing or undecodable file plays nothing. True when the sound started.
bool playSoundAsyncNoStop(const char* devicePath);

// The millisecond clock of a recorded sound: tests hand in theirs, nullptr
// restores the real one. A sound playing by the old clock ends.
using SoundClock = uint64_t (*)();
void setSoundClock(SoundClock clock);

}  // namespace ce
