// The display backlight: the node $CE_ROOT/dev/BKL1, looked up anew at each
// switch so a lamp attached or replaced while the daemon runs is used at once.
// A link to a sysfs backlight directory gets the framebuffer blank level in
// `bl_power`; a regular file (a simulated lamp) gets the caller's request code
// appended as a line "0x%06X". Anything else is no lamp: nothing is written.
#pragma once

#include <cstdint>

namespace ce {

// True when the node took the request.
bool switchBacklight(bool on, uint32_t requestCode);

}  // namespace ce
