// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A build without sound (no ALSA, no libsndfile): every click stays silent,
// which is said at the first one.
#include "platform/log.h"
#include "platform/sound.h"

namespace shub::os {

bool startSoundUnlessPlaying(const char* devicePath) {
  static SayOnce said;
  if (devicePath != nullptr && said.allow()) logWarning("sound: this build plays no sounds; clicks stay silent");
  return false;
}

void setSoundClock(SoundClock) {}

}  // namespace shub::os
