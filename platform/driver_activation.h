// Device-manager activation of a driver by its registry key, as the daemon
// loads the GPS port driver "Drivers\GpsCom2".
//
// No such driver exists on Linux: activation succeeds when the key
// $CE_ROOT/registry/HKEY_LOCAL_MACHINE/<key> exists, and yields a handle that
// deactivation and close release. Nothing else happens.
#pragma once

#include <cstdint>

namespace ce {

struct ActiveDriver;  // opaque; owned by the caller

// nullptr when the key does not exist.
ActiveDriver* activateDevice(const char* registryKey, uint32_t clientInfo);

// Deactivates the driver; the handle stays to be closed. False for nullptr or
// a driver already deactivated.
bool deactivateDevice(ActiveDriver* driver);

// Releases the handle. nullptr is accepted.
void closeDriverHandle(ActiveDriver* driver);

}  // namespace ce
