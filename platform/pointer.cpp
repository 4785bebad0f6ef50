// Chooses the sink of each pointer event from what $CE_ROOT/dev/pointer is at
// that moment, so a device attached or removed while the daemon runs is
// followed without a restart.
//
// Must survive: a node that is neither a file nor a character device (the
// event is dropped), no node and no display (dropped), and callers on several
// threads (each sink serialises itself).
#include "platform/pointer.h"

#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/paths.h"
#include "platform/pointer_sinks.h"

namespace ce {

void preparePointerDevice() {
  const std::optional<std::string> node = findDeviceNode("pointer");
  struct stat info {};
  if (!node || ::stat(node->c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return;
  prepareUinputPointer(*node);
}

bool injectPointerEvent(const PointerEvent& event) {
  const std::optional<std::string> node = findDeviceNode("pointer");
  if (!node) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') return false;
    return xtestPointerEvent(event);
  }
  struct stat info {};
  if (::stat(node->c_str(), &info) != 0) return false;  // a dangling link: no device
  if (S_ISREG(info.st_mode)) return recordPointerEvent(*node, event);
  if (S_ISCHR(info.st_mode)) return uinputPointerEvent(*node, event);
  return false;
}

}  // namespace ce
