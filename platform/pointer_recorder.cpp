// The simulated pointer: a regular file that gets one line per event,
// "flags x y data extra" in decimal, so tests and users can watch injection.
//
// Must survive: concurrent callers (each line is one write(2) in append mode,
// so lines never interleave) and a file that cannot be opened (dropped).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/pointer_sinks.h"

namespace ce {

bool recordPointerEvent(const std::string& path, const PointerEvent& event) {
  char line[96];
  const int length = std::snprintf(line, sizeof line, "%u %d %d %d %u\n", static_cast<unsigned>(event.flags),
                                   static_cast<int>(event.x), static_cast<int>(event.y),
                                   static_cast<int>(event.data), static_cast<unsigned>(event.extra));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof line) return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  const bool ok = ::write(fd, line, static_cast<size_t>(length)) == length;
  return ::close(fd) == 0 && ok;
}

}  // namespace ce
