// Dispatch of device names to drivers. A device name ends in ':' ("BKL1:");
// its node is $CE_ROOT/dev/<name>. Adding a device kind means one new
// device_<name>.cpp file and one line in the table below.
//
// Must survive: unknown names, missing nodes, nodes of the wrong kind and
// handles used from several threads (each handle is independent; drivers keep
// no state outside their handles).
#include "platform/device_control.h"

#include <strings.h>

#include <string>
#include <string_view>

#include "platform/paths.h"

namespace ce {

struct DeviceHandle {
  const DeviceDriver* driver;
  void* state;
};

namespace {

const DeviceDriver* const kDrivers[] = {
    &kBacklightDriver,
    &kBatteryDriver,
};

const DeviceDriver* driverFor(std::string_view name) {
  for (const DeviceDriver* driver : kDrivers) {
    const std::string_view driverName(driver->name);
    if (name.size() == driverName.size() && strncasecmp(name.data(), driverName.data(), name.size()) == 0) {
      return driver;
    }
  }
  return nullptr;
}

}  // namespace

DeviceHandle* openDevice(const char* name) {
  if (name == nullptr) return nullptr;
  std::string_view bare(name);
  if (!bare.empty() && bare.back() == ':') bare.remove_suffix(1);
  const DeviceDriver* driver = driverFor(bare);
  if (driver == nullptr) return nullptr;
  const std::optional<std::string> node = findDeviceNode(bare);
  if (!node) return nullptr;
  void* state = driver->open(*node);
  if (state == nullptr) return nullptr;
  return new DeviceHandle{driver, state};
}

bool deviceIoControl(DeviceHandle* handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  if (handle == nullptr) return false;
  return handle->driver->control(handle->state, code, in, inSize, out, outSize, returned);
}

void closeDevice(DeviceHandle* handle) {
  if (handle == nullptr) return;
  handle->driver->close(handle->state);
  delete handle;
}

}  // namespace ce
