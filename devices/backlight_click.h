// The backlight switch, the key click and the daemon-wide backlight flag,
// shared by the frame assembler, the touch injector, the control channel and
// the power watcher.
#pragma once

#include <atomic>
#include <cstdint>

namespace shub::devices {

// The daemon's own record of the lamp (it is never asked): 1 on, 0 off.
// Callers update it first, then call BacklightSwitch.
extern std::atomic<int32_t> backlightOn;

// Request codes a simulated lamp records; tools watching dev/BKL1 rely on them.
inline constexpr uint32_t kBacklightOnCode = 0x321044;
inline constexpr uint32_t kBacklightOffCode = 0x321048;

// Sends kBacklightOnCode for any non-zero `on`, else kBacklightOffCode. With no
// lamp nothing happens and the caller's flag stands.
void BacklightSwitch(int32_t on);

// Plays the click for kinds 1 and 2, never over a sound still playing; other
// kinds play nothing. Always 1.
int32_t KeyClick(int32_t kind);

inline constexpr const char* kClickSoundPath = "\\residentflash2\\click.wav";

}  // namespace shub::devices
