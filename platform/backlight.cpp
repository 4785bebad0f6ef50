// Switching the backlight node, whatever it is at the moment of the call.
// Must survive: a node that is neither a file nor a directory, a sysfs
// directory without bl_power (nothing is created in its place), and two
// threads switching at once (each request is one write(2)).
#include "platform/backlight.h"

#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string>

#include "platform/paths.h"

namespace ce {

bool switchBacklight(bool on, uint32_t requestCode) {
  const std::optional<std::string> node = findDeviceNode("BKL1");
  const mode_t type = node ? fileType(*node) : 0;
  if (S_ISREG(type)) {
    char line[16];
    std::snprintf(line, sizeof line, "0x%06X\n", static_cast<unsigned>(requestCode));
    return writeNodeFile(*node, line, true);
  }
  // bl_power takes framebuffer blank levels: 0 unblanked, 4 powered down.
  return S_ISDIR(type) && writeNodeFile(*node + "/bl_power", on ? "0" : "4", false);
}

}  // namespace ce
