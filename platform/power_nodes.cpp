// Survives nodes of another kind, a sysfs directory without bl_power (nothing is
// created), a FIFO or a huge file (small non-blocking reads of regular files
// only), malformed text (no answer) and unreadable supplies (off line).
#include "platform/power_nodes.h"

#include <dirent.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdio>

#include "platform/paths.h"
#include "platform/regular_file.h"

namespace shub::os {
namespace {

// The first line as a decimal 0..255, white space around it allowed.
std::optional<uint8_t> readStatusFile(const std::string& path) {
  const std::optional<std::string> text = detail::readSmallFile(path, 64, detail::TooLong::cut);
  if (!text) return std::nullopt;
  const std::string_view line = detail::trimSpace(std::string_view(*text).substr(0, text->find('\n')));
  unsigned value = 0;
  const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
  if (line.size() > 3 || error != std::errc() || end != line.data() + line.size() || value > 255) return std::nullopt;
  return static_cast<uint8_t>(value);
}

bool externalSupplyOnline(const std::string& supply) {
  const std::optional<std::string> type = detail::readSmallFile(supply + "/type", 64, detail::TooLong::cut);
  const std::string_view kind = type ? detail::trimSpace(*type) : "";
  return (kind == "Mains" || kind == "USB") && readStatusFile(supply + "/online") == uint8_t{1};
}

// The class directory: every entry is a supply (a link to its device).
std::optional<uint8_t> readSupplyClass(const std::string& path) {
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) return std::nullopt;
  bool anySupply = false, online = false;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    anySupply = true;
    online = online || externalSupplyOnline(path + "/" + entry->d_name);
  }
  closedir(directory);
  return static_cast<uint8_t>(online || !anySupply);
}

}  // namespace

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

std::optional<Battery> findBattery() {
  const std::optional<std::string> node = findDeviceNode("BAT1");
  const mode_t type = node ? fileType(*node) : 0;
  if (!S_ISREG(type) && !S_ISDIR(type)) return std::nullopt;
  return Battery{*node, S_ISDIR(type)};
}

std::optional<uint8_t> readAcLineStatus(const Battery& battery) {
  if (!battery.directory) return readStatusFile(battery.path);
  if (fileType(battery.path + "/online") != 0) return readStatusFile(battery.path + "/online");
  return readSupplyClass(battery.path);
}

}  // namespace shub::os
