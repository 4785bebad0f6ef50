// Device control for the stream drivers the daemon talks to ("BKL1:", later
// "BAT1:"): open a device by name, send it control codes, close it.
//
// A device is the node of that name in $CE_ROOT/dev (found without regard to
// case); what the node is (a sysfs directory, a simulated file) is up to the
// driver of that device kind. A missing node means the device does not exist:
// the open fails and nothing is sent.
#pragma once

#include <cstdint>
#include <string>

namespace ce {

struct DeviceHandle;  // opaque; owned by the caller between open and close

// Opens the existing device `name` ("BKL1:"; the trailing ':' is optional).
// nullptr when there is no driver for that name or no node in $CE_ROOT/dev.
DeviceHandle* openDevice(const char* name);

// Sends one control request. `returned` (may be nullptr) receives the count
// of bytes written to `out`. False when the driver refused or failed.
bool deviceIoControl(DeviceHandle* handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* returned);

// Closes the handle. nullptr is accepted.
void closeDevice(DeviceHandle* handle);

// One device kind. Each driver lives in its own file (device_<name>.cpp) and
// is listed in the driver table of device_control.cpp.
struct DeviceDriver {
  const char* name;  // device name without ':', matched without regard to case
  // Opens the driver's state over the host path of the device node; nullptr
  // when the node is not a device of this kind.
  void* (*open)(const std::string& nodePath);
  bool (*control)(void* state, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                  uint32_t* returned);
  void (*close)(void* state);
};

// The backlight: a sysfs backlight directory, or a regular file that records
// each request.
extern const DeviceDriver kBacklightDriver;

inline constexpr uint32_t kBacklightOnCode = 0x321044;
inline constexpr uint32_t kBacklightOffCode = 0x321048;

// The battery: a sysfs power-supply directory, the power-supply class
// directory, or a regular file holding the AC line status.
extern const DeviceDriver kBatteryDriver;

// Power status request: input the u32 1, output at least 1 byte (56 used),
// byte 0 the AC line status (0 off line, 1 on line).
inline constexpr uint32_t kPowerStatusCode = 0x290404;

}  // namespace ce
