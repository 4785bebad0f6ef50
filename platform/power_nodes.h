// The lamp and the battery, each a node of $CE_ROOT/dev in one of its kinds.
// BKL1, found anew at each switch: a link to a sysfs backlight directory gets
// the blank level in `bl_power`; a regular file (a simulated lamp) gets the
// request code appended as a line "0x%06X"; anything else is no lamp.
// BAT1, found once at start-up and read anew at each request: a regular file
// whose first line, decimal 0 to 255, is the AC line status; a link to a sysfs
// power supply, whose `online` it is; or a link to /sys/class/power_supply,
// on line when any Mains or USB supply is, or when there is no supply at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ce {

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

}  // namespace ce
