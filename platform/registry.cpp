// The files are edited by hand, so a value is read strictly: anything else is
// a missing value rather than a guess. Names are looked up one component at a
// time, so none of them can step outside the registry folder.
#include "platform/registry.h"

#include <sys/stat.h>

#include <charconv>
#include <string>

#include "platform/paths.h"
#include "platform/regular_file.h"

namespace shub::os {
namespace {

constexpr size_t kMaxValueText = 64;  // longer files cannot hold a valid DWORD

std::optional<std::string> keyDirectory(std::string_view hive, std::string_view keyPath) {
  std::optional<std::string> key = findInDirectory(ceRoot(), "registry");
  if (key) key = findInDirectory(*key, hive);
  for (std::string_view part : splitPath(keyPath, "\\")) {
    if (key) key = findInDirectory(*key, part);
  }
  return key && S_ISDIR(fileType(*key)) ? key : std::nullopt;
}

}  // namespace

std::optional<uint32_t> readRegistryDword(std::string_view hive, std::string_view keyPath,
                                          std::string_view valueName) {
  const std::optional<std::string> key = keyDirectory(hive, keyPath);
  const std::optional<std::string> value = key ? findInDirectory(*key, valueName) : std::nullopt;
  const std::optional<std::string> file =
      value ? detail::readSmallFile(*value, kMaxValueText, detail::TooLong::refuse) : std::nullopt;
  std::string_view text = file ? detail::trimSpace(*file) : "";
  const int base = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10;
  text.remove_prefix(base == 16 ? 2 : 0);
  uint32_t dword = 0;  // from_chars takes no sign, space or prefix and refuses what overflows
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), dword, base);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return dword;
}

}  // namespace shub::os
