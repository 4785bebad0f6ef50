// The lamp and the battery, nodes of $CE_ROOT/dev. BKL1 (found at each switch):
// sysfs backlight gets `bl_power`, a regular file the code appended as "0x%06X\n".
// BAT1 (found once, read per request): a file whose first line (0-255) is the
// status, a sysfs supply (`online`), or /sys/class/power_supply (on line when a
// Mains or USB supply is, or there is none).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace shub::os {

// True when the node took the request.
bool switchBacklight(bool on, uint32_t requestCode);

struct Battery {
  std::string path;  // host path of the node
  bool directory;    // sysfs rather than a simulated file
};

// nullopt when the node is missing or neither a regular file nor a directory.
std::optional<Battery> findBattery();

// 0 off line, 1 on line, any other value as the node gives it; nullopt when
// the node cannot be read or holds anything else.
std::optional<uint8_t> readAcLineStatus(const Battery& battery);

}  // namespace shub::os
