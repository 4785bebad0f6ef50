// The lamp and the battery, nodes of $CE_ROOT/dev. BKL1 (found at each switch):
// a regular file records each request; a sysfs backlight gets `bl_power`. BAT1
// (found once): a regular file, a sysfs supply or /sys/class/power_supply.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace shub::os {

// True when the node took the request; a recording file gets `record` appended.
bool switchBacklight(bool on, std::string_view record);

struct Battery {
  std::string path;  // host path of the node
  bool directory;    // sysfs rather than a simulated file
};

// nullopt when the node is missing or neither a regular file nor a directory.
std::optional<Battery> findBattery();

// The names in directory `path` but hidden ones; nullopt when it cannot be read.
std::optional<std::vector<std::string>> directoryEntries(const std::string& path);

}  // namespace shub::os
