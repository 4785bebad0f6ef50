// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
#include "devices/registry_value.h"

#include <charconv>
#include <string>

#include "devices/small_file.h"
#include "platform/paths.h"

namespace shub::devices {

std::optional<uint32_t> parseRegistryDword(std::string_view text) {
  text = trimSpace(text);
  const int base = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10;
  text.remove_prefix(base == 16 ? 2 : 0);
  uint32_t dword = 0;  // from_chars takes no sign, space or prefix and refuses what overflows
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), dword, base);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return dword;
}

std::optional<uint32_t> readRegistryDword(std::string_view valuePath) {
  constexpr size_t kMaxValueText = 64;  // longer files cannot hold a valid DWORD
  const std::optional<std::string> value = os::resolveDevicePath(valuePath);
  const std::optional<std::string> text =
      value ? readSmallFile(*value, kMaxValueText, TooLong::refuse) : std::nullopt;
  return text ? parseRegistryDword(*text) : std::nullopt;
}

}  // namespace shub::devices
