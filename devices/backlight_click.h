// The backlight switch, the key click and the daemon-wide backlight flag,
// shared by the frame assembler, the touch injector, the control channel and
// the power watcher.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/device_control.h"
#include "router/frame_assembler.h"

// 1 when the backlight was last switched on (or is taken to be on), 0 when it
// was last switched off. Callers update it first, then call BacklightSwitch.
extern std::atomic<int32_t> backlightOn;

// Sends the backlight driver "BKL1:" the on code (any non-zero `on`) or the
// off code. Opens and closes its own handle; a missing device sends nothing.
void BacklightSwitch(int32_t on);

// Plays the click for kinds 1 and 2 (asynchronously, never over a sound that
// is still playing); other kinds play nothing. Always 1.
int32_t KeyClick(int32_t kind);

inline constexpr const char* kClickSoundPath = "\\residentflash2\\click.wav";

// What BacklightSwitch and KeyClick ask of the platform; tests hand in fakes.
struct DeviceServices {
  ce::DeviceHandle* (*openDevice)(const char* name);
  bool (*deviceIoControl)(ce::DeviceHandle* handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                          uint32_t outSize, uint32_t* returned);
  void (*closeDevice)(ce::DeviceHandle* handle);
  bool (*playSound)(const char* devicePath);
};

// The real platform.
const DeviceServices& platformDeviceServices();

// Replaces the services (nullptr restores the platform's). Set it before the
// threads that switch or click start.
void setDeviceServices(const DeviceServices* services);

// The frame assembler's collaborators in the daemon: the platform tick count,
// backlightOn, KeyClick and the platform event set.
FrameAssemblerHooks& daemonFrameAssemblerHooks();
