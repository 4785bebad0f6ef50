// The device's settings store: one small text file per DWORD value below
// $CE_ROOT/registry. The files are edited by hand, so a value is read
// strictly: a decimal or 0x-hex number that fits 32 bits, white space around
// it allowed; anything else is treated as a missing value rather than guessed
// at. Key and value names come from callers and are looked up one component
// at a time, so none of them can step outside the registry folder.
#include "platform/registry.h"

#include <cstdio>
#include <string>

#include <sys/stat.h>

#include "platform/paths.h"
#include "platform/small_file_internal.h"

namespace ce {

namespace {

constexpr size_t kMaxValueText = 64;  // longer files cannot hold a valid DWORD

int digitValue(char c, int base) {
  int value = -1;
  if (c >= '0' && c <= '9') value = c - '0';
  else if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
  return value < base ? value : -1;
}

std::optional<uint32_t> parseDword(std::string_view text) {
  text = detail::trimSpace(text);
  int base = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    const int digit = digitValue(c, base);
    if (digit < 0) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

// Descends from `dir` through the '\'-separated components of `keyPath`.
std::optional<std::string> descend(std::string dir, std::string_view keyPath) {
  size_t start = 0;
  for (size_t i = 0; i <= keyPath.size(); ++i) {
    if (i != keyPath.size() && keyPath[i] != '\\') continue;
    const std::string_view part = keyPath.substr(start, i - start);
    start = i + 1;
    if (part.empty()) continue;
    std::optional<std::string> next = findInDirectory(dir, part);
    if (!next) return std::nullopt;
    dir = std::move(*next);
  }
  return dir;
}

std::optional<std::string> keyDirectory(std::string_view hive, std::string_view keyPath) {
  const std::optional<std::string> registry = findInDirectory(ceRoot(), "registry");
  if (!registry || hive.empty()) return std::nullopt;
  const std::optional<std::string> hiveDir = findInDirectory(*registry, hive);
  if (!hiveDir) return std::nullopt;
  return descend(*hiveDir, keyPath);
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::optional<uint32_t> readRegistryDword(std::string_view hive, std::string_view keyPath,
                                          std::string_view valueName) {
  const std::optional<std::string> key = keyDirectory(hive, keyPath);
  if (!key || !isDirectory(*key)) return std::nullopt;
  const std::optional<std::string> valueFile = findInDirectory(*key, valueName);
  if (!valueFile) return std::nullopt;
  const std::optional<std::string> text =
      detail::readSmallFile(*valueFile, kMaxValueText, detail::TooLong::refuse);
  if (!text) return std::nullopt;
  return parseDword(*text);
}

bool registryKeyExists(std::string_view hive, std::string_view keyPath) {
  const std::optional<std::string> key = keyDirectory(hive, keyPath);
  return key && isDirectory(*key);
}

}  // namespace ce
