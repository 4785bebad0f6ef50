// Reading the AC line status from the battery node in each of its forms.
//
// Must survive: a node that is a FIFO or huge (small non-blocking reads of
// regular files only), malformed text (no answer), and a class directory
// whose entries are not supplies or cannot be read (they count as offline).
#include "platform/battery.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string_view>

#include "platform/paths.h"
#include "platform/small_file_internal.h"

namespace ce {
namespace {

constexpr size_t kMaxRead = 64;

// The first line as a decimal 0..255, white space around it allowed.
std::optional<uint8_t> parseStatusLine(std::string_view text) {
  const std::string_view line = detail::trimSpace(text.substr(0, text.find('\n')));
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
  const std::optional<std::string> type = detail::readSmallFile(supply + "/type", kMaxRead, detail::TooLong::cut);
  if (!type) return false;
  const std::string_view kind = detail::trimSpace(*type);
  if (kind != "Mains" && kind != "USB") return false;
  return readStatusFile(supply + "/online") == uint8_t{1};
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

}  // namespace

std::optional<Battery> findBattery() {
  const std::optional<std::string> node = findDeviceNode("BAT1");
  struct stat info {};
  if (!node || ::stat(node->c_str(), &info) != 0) return std::nullopt;
  if (S_ISREG(info.st_mode)) return Battery{*node, false};
  if (S_ISDIR(info.st_mode)) return Battery{*node, true};
  return std::nullopt;
}

std::optional<uint8_t> readAcLineStatus(const Battery& battery) {
  if (!battery.directory) return readStatusFile(battery.path);
  const std::string online = battery.path + "/online";
  struct stat info {};
  if (::stat(online.c_str(), &info) == 0) return readStatusFile(online);
  return readSupplyClass(battery.path);
}

}  // namespace ce
