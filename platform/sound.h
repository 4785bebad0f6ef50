// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The click's sound, played without waiting and never over one still playing: on
// ALSA's "default" PCM, or, where $CE_ROOT/dev/sound is a regular file, recorded
// there by device path and counted as playing for frames / sample rate.
#pragma once

#include <cstdint>

namespace shub::os {

// A missing or undecodable file plays nothing. True when the sound started.
bool startSoundUnlessPlaying(const char* devicePath);

// The millisecond clock of a recorded sound: tests hand in theirs, nullptr
// restores the real one. A sound playing by the old clock ends.
using SoundClock = uint64_t (*)();
void setSoundClock(SoundClock clock);

}  // namespace shub::os
