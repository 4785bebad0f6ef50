// The backlight driver "BKL1:". Its node is either a sysfs backlight
// directory (on writes 0 to bl_power, off writes 4: the framebuffer blank
// levels) or a regular file standing in for the lamp, which records each
// request as one line "0x%06X".
//
// Must survive: a node that is neither, a bl_power that cannot be written,
// and two threads switching at once (each request is one write(2), so lines
// from concurrent callers never interleave).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/device_control.h"

namespace ce {
namespace {

struct Backlight {
  bool simulated;    // a regular file that records requests
  std::string path;  // the file, or the sysfs directory
};

bool writeAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, text, length);
    if (written < 0) return false;
    text += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

bool writeFile(const std::string& path, int flags, const char* text, size_t length) {
  const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  const bool ok = writeAll(fd, text, length);
  return ::close(fd) == 0 && ok;
}

void* openBacklight(const std::string& nodePath) {
  struct stat info {};
  if (::stat(nodePath.c_str(), &info) != 0) return nullptr;
  if (S_ISREG(info.st_mode)) return new Backlight{true, nodePath};
  if (S_ISDIR(info.st_mode)) return new Backlight{false, nodePath};
  return nullptr;
}

bool controlBacklight(void* state, uint32_t code, const void*, uint32_t, void*, uint32_t, uint32_t*) {
  const Backlight& backlight = *static_cast<Backlight*>(state);
  if (code != kBacklightOnCode && code != kBacklightOffCode) return false;
  if (backlight.simulated) {
    char line[16];
    const int length = std::snprintf(line, sizeof line, "0x%06X\n", static_cast<unsigned>(code));
    return writeFile(backlight.path, O_APPEND, line, static_cast<size_t>(length));
  }
  // bl_power takes framebuffer blank levels: 0 unblanked, 4 powered down.
  const char* level = code == kBacklightOnCode ? "0" : "4";
  return writeFile(backlight.path + "/bl_power", O_TRUNC, level, 1);
}

void closeBacklight(void* state) { delete static_cast<Backlight*>(state); }

}  // namespace

const DeviceDriver kBacklightDriver = {"BKL1", openBacklight, controlBacklight, closeBacklight};

}  // namespace ce
