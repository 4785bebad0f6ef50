// The battery driver "BAT1:", answering the power status request 0x290404
// with the AC line status in byte 0 of the answer. Its node is one of:
// - a sysfs power-supply directory (it has an `online` file): byte 0 is that;
// - the sysfs class directory /sys/class/power_supply itself: 1 when any
//   supply of type Mains or USB is online, or when there is no supply at all
//   (a machine without supplies runs from the mains), else 0;
// - a regular file standing in for the battery: its first line, a decimal
//   number 0 to 255, is byte 0; anything else fails the request.
// What the node holds is read anew at each request.
//
// Must survive: a node that is a FIFO or huge (small non-blocking reads of
// regular files only), malformed text (the request fails, the answer is left
// untouched), a caller's input other than the u32 1 or an output buffer
// shorter than one byte (refused).
#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/device_control.h"
#include "platform/small_file_internal.h"

namespace ce {
namespace {

constexpr uint32_t kStatusAnswerSize = 56;
constexpr size_t kMaxRead = 64;

struct Battery {
  std::string path;
  bool directory;
};

// The first line as a decimal 0..255, white space around it allowed.
std::optional<uint8_t> parseStatusLine(std::string_view text) {
  const size_t end = text.find('\n');
  const std::string_view line = detail::trimSpace(text.substr(0, end));
  if (line.empty() || line.size() > 3) return std::nullopt;
  unsigned value = 0;
  for (const char c : line) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return std::nullopt;
  return static_cast<uint8_t>(value);
}

std::optional<uint8_t> readStatusFile(const std::string& path) {
  const std::optional<std::string> text = detail::readSmallFile(path, kMaxRead, detail::TooLong::cut);
  if (!text) return std::nullopt;
  return parseStatusLine(*text);
}

bool externalSupplyOnline(const std::string& supply) {
  const std::optional<std::string> type =
      detail::readSmallFile(supply + "/type", kMaxRead, detail::TooLong::cut);
  if (!type) return false;
  const std::string_view kind = detail::trimSpace(*type);
  if (kind != "Mains" && kind != "USB") return false;
  const std::optional<uint8_t> online = readStatusFile(supply + "/online");
  return online && *online == 1;
}

// The class directory: every entry is a supply (a link to its device).
std::optional<uint8_t> readSupplyClass(const std::string& path) {
  DIR* directory = ::opendir(path.c_str());
  if (directory == nullptr) return std::nullopt;
  bool anySupply = false;
  bool online = false;
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    anySupply = true;
    if (externalSupplyOnline(path + "/" + entry->d_name)) {
      online = true;
      break;
    }
  }
  ::closedir(directory);
  return static_cast<uint8_t>(online || !anySupply ? 1 : 0);
}

std::optional<uint8_t> readLineStatus(const Battery& battery) {
  if (!battery.directory) return readStatusFile(battery.path);
  const std::string online = battery.path + "/online";
  struct stat info {};
  if (::stat(online.c_str(), &info) == 0) return readStatusFile(online);
  return readSupplyClass(battery.path);
}

void* openBattery(const std::string& nodePath) {
  struct stat info {};
  if (::stat(nodePath.c_str(), &info) != 0) return nullptr;
  if (S_ISREG(info.st_mode)) return new Battery{nodePath, false};
  if (S_ISDIR(info.st_mode)) return new Battery{nodePath, true};
  return nullptr;
}

bool controlBattery(void* state, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                    uint32_t* returned) {
  if (code != kPowerStatusCode || in == nullptr || inSize != sizeof(uint32_t)) return false;
  uint32_t request = 0;
  std::memcpy(&request, in, sizeof request);
  if (request != 1 || out == nullptr || outSize < 1) return false;
  const std::optional<uint8_t> status = readLineStatus(*static_cast<Battery*>(state));
  if (!status) return false;
  // Byte 0 is all that is known; the rest of the answer (battery figures on
  // the original device) is zero.
  const uint32_t size = outSize < kStatusAnswerSize ? outSize : kStatusAnswerSize;
  std::memset(out, 0, size);
  static_cast<uint8_t*>(out)[0] = *status;
  if (returned != nullptr) *returned = size;
  return true;
}

void closeBattery(void* state) { delete static_cast<Battery*>(state); }

}  // namespace

const DeviceDriver kBatteryDriver = {"BAT1", openBattery, controlBattery, closeBattery};

}  // namespace ce
