// The display backlight: the node $CE_ROOT/dev/BKL1 (found without regard to
// case), looked up anew at each switch so a lamp attached or replaced while
// the daemon runs is used at once. The node is either
// - a link to a sysfs backlight directory: `bl_power` gets the framebuffer
//   blank level, 0 for on and 4 for off; or
// - a regular file standing in for the lamp: each switch appends the caller's
//   request code as one line "0x%06X", so a test or a user can watch it.
// A missing node, or anything else, means there is no lamp: nothing is written.
#pragma once

#include <cstdint>

namespace ce {

// Switches the lamp on or off; a simulated lamp records `requestCode`. True
// when the node took the request.
bool switchBacklight(bool on, uint32_t requestCode);

}  // namespace ce
