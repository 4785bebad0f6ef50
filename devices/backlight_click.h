// The backlight switch, the key click and the daemon-wide backlight flag,
// shared by the frame assembler, the touch injector, the control channel and
// the power watcher.
#pragma once

#include <atomic>
#include <cstdint>

// 1 when the backlight was last switched on (or is taken to be on), 0 when it
// was last switched off. Callers update it first, then call BacklightSwitch.
extern std::atomic<int32_t> backlightOn;

// The backlight's request codes: a simulated lamp records them, and tools
// that watch dev/BKL1 rely on them.
inline constexpr uint32_t kBacklightOnCode = 0x321044;
inline constexpr uint32_t kBacklightOffCode = 0x321048;

// Switches the lamp on (any non-zero `on`, sending kBacklightOnCode) or off
// (kBacklightOffCode). The node is looked up at each call; with no lamp
// nothing happens and the caller's flag stands.
void BacklightSwitch(int32_t on);

// Plays the click for kinds 1 and 2 (asynchronously, never over a sound that
// is still playing); other kinds play nothing. Always 1.
int32_t KeyClick(int32_t kind);

inline constexpr const char* kClickSoundPath = "\\residentflash2\\click.wav";
