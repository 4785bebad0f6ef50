// The battery: the node $CE_ROOT/dev/BAT1, which tells whether external (AC)
// power is on line. It is one of
// - a regular file (a simulated battery): its first line, a decimal number 0
//   to 255, is the status;
// - a link to a sysfs power-supply directory (it has `online`): that;
// - a link to /sys/class/power_supply itself: 1 when any supply of type Mains
//   or USB is online, or when there is no supply at all (a machine without
//   supplies runs from the mains), else 0.
// The node is found once, at start-up; what it holds is read at each request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ce {

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
