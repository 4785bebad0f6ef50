// The battery: the node $CE_ROOT/dev/BAT1 (found without regard to case),
// which tells whether external (AC) power is on line. The node is one of
// - a regular file standing in for the battery: its first line, a decimal
//   number 0 to 255, is the status;
// - a link to a sysfs power-supply directory (it has `online`): that;
// - a link to the class directory /sys/class/power_supply itself: 1 when any
//   supply of type Mains or USB is online, or when there is no supply at all
//   (a machine without supplies runs from the mains), else 0.
// The node is found once, at start-up, and held: a battery missing then stays
// absent. What it holds is read anew at each request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ce {

struct Battery {
  std::string path;  // host path of the node
  bool directory;    // a sysfs directory rather than a simulated file
};

// The battery node as it is now; nullopt when it is missing or neither a
// regular file nor a directory.
std::optional<Battery> findBattery();

// The AC line status: 0 off line, 1 on line, any other value as the node
// gives it. nullopt when the node cannot be read or holds anything else.
std::optional<uint8_t> readAcLineStatus(const Battery& battery);

}  // namespace ce
