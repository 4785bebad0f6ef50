// Switching the backlight node, whatever it is at the moment of the call.
//
// Must survive: a node that is neither a file nor a directory, a sysfs
// directory without a writable bl_power (nothing is created in its place),
// and two threads switching at once (each request is one write(2) to a file
// opened for appending, so lines from concurrent callers never interleave).
#include "platform/backlight.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "platform/paths.h"

namespace ce {
namespace {

bool writeAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, text, length);
    if (written < 0) return false;
    text += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// Writes to an existing file only: a missing bl_power or a lamp file removed
// meanwhile is never created.
bool writeExisting(const std::string& path, int flags, const char* text, size_t length) {
  const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  const bool ok = writeAll(fd, text, length);
  return ::close(fd) == 0 && ok;
}

}  // namespace

bool switchBacklight(bool on, uint32_t requestCode) {
  const std::optional<std::string> node = findDeviceNode("BKL1");
  struct stat info {};
  if (!node || ::stat(node->c_str(), &info) != 0) return false;
  if (S_ISREG(info.st_mode)) {
    char line[16];
    const int length = std::snprintf(line, sizeof line, "0x%06X\n", static_cast<unsigned>(requestCode));
    return writeExisting(*node, O_APPEND, line, static_cast<size_t>(length));
  }
  if (!S_ISDIR(info.st_mode)) return false;
  // bl_power takes framebuffer blank levels: 0 unblanked, 4 powered down.
  return writeExisting(*node + "/bl_power", O_TRUNC, on ? "0" : "4", 1);
}

}  // namespace ce
