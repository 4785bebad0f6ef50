// Driver activation stand-in: a handle that remembers the key and whether the
// driver is active, so deactivation and close keep the order the daemon gives
// them, and nothing leaks over repeated activations.
#include "platform/driver_activation.h"

#include <string>

#include "platform/registry.h"

namespace ce {

struct ActiveDriver {
  std::string key;
  bool active = true;
};

ActiveDriver* activateDevice(const char* registryKey, uint32_t /*clientInfo*/) {
  if (registryKey == nullptr || !registryKeyExists("HKEY_LOCAL_MACHINE", registryKey)) return nullptr;
  return new ActiveDriver{registryKey, true};
}

bool deactivateDevice(ActiveDriver* driver) {
  if (driver == nullptr || !driver->active) return false;
  driver->active = false;
  return true;
}

void closeDriverHandle(ActiveDriver* driver) { delete driver; }

}  // namespace ce
