// Sound playback from a file, the way the daemon's click needs it: started
// without waiting for it, and never on top of a sound that is still playing.
//
// Where it plays: when $CE_ROOT/dev/sound is a regular file, nothing is heard;
// the file records the device path of each sound that starts, and the sound
// counts as playing for its frames divided by its sample rate. Otherwise it
// plays on ALSA's "default" PCM on a player thread.
#pragma once

#include <cstdint>

namespace ce {

// Plays the sound file `devicePath` (a device path, resolved below CE_ROOT)
// asynchronously with the no-stop rule: while a sound is playing the request
// is dropped and the playing sound goes on. A file that is missing or cannot
// be decoded plays nothing. True when the sound started.
bool playSoundAsyncNoStop(const char* devicePath);

// True while a sound counts as playing.
bool soundPlaying();

// Milliseconds of a monotonic clock, as the sound module reads them. Tests
// hand in their own clock to move simulated playing time; nullptr restores
// the real one. A simulated sound playing by the old clock ends.
using SoundClock = uint64_t (*)();
void setSoundClock(SoundClock clock);

}  // namespace ce
