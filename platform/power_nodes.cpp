// Survives nodes of another kind and a sysfs directory without bl_power
// (nothing is created).
#include "platform/power_nodes.h"

#include <dirent.h>
#include <sys/stat.h>

#include "platform/paths.h"

namespace shub::os {

bool switchBacklight(bool on, std::string_view record) {
  const std::optional<std::string> node = findDeviceNode("BKL1");
  const mode_t type = node ? fileType(*node) : 0;
  if (S_ISREG(type)) return writeNodeFile(*node, record, true);
  // bl_power takes framebuffer blank levels: 0 unblanked, 4 powered down.
  return S_ISDIR(type) && writeNodeFile(*node + "/bl_power", on ? "0" : "4", false);
}

std::optional<Battery> findBattery() {
  const std::optional<std::string> node = findDeviceNode("BAT1");
  const mode_t type = node ? fileType(*node) : 0;
  if (!S_ISREG(type) && !S_ISDIR(type)) return std::nullopt;
  return Battery{*node, S_ISDIR(type)};
}

std::optional<std::vector<std::string>> directoryEntries(const std::string& path) {
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) return std::nullopt;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(directory);
  return names;
}

}  // namespace shub::os
