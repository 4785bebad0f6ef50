// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Must survive a node that is not a regular file (a FIFO must not block), white
// space around the text, and malformed or oversized numbers (source skipped).
#include "devices/screen_size.h"

#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "devices/small_file.h"
#include "platform/paths.h"

namespace shub::devices {
namespace {

constexpr uint32_t kMaxDimension = 1 << 20;  // far beyond any screen; keeps sums in range

// "800x480" (or "800,480" for the framebuffer), white space around it allowed.
std::optional<os::ScreenSize> fromFile(const std::optional<std::string>& path, std::string_view separators) {
  const auto text = path ? readSmallFile(*path, 64, TooLong::refuse) : std::nullopt;
  if (!text) return std::nullopt;
  const std::string_view size = trimSpace(*text);
  const char* end = size.data() + size.size();
  uint32_t width = 0, height = 0;
  const auto [split, widthError] = std::from_chars(size.data(), end, width);
  if (widthError != std::errc() || split == end || separators.find(*split) == std::string_view::npos) {
    return std::nullopt;
  }
  const auto [last, heightError] = std::from_chars(split + 1, end, height);
  if (heightError != std::errc() || last != end || width > kMaxDimension || height > kMaxDimension) {
    return std::nullopt;
  }
  return os::ScreenSize{static_cast<int32_t>(width), static_cast<int32_t>(height)};
}

}  // namespace

os::ScreenSize screenMetrics() {
  if (auto size = fromFile(os::findDeviceNode("screen"), "xX")) return *size;
  if (auto size = os::xScreenSize()) return *size;
  if (auto size = fromFile("/sys/class/graphics/fb0/virtual_size", ",")) return *size;
  return os::ScreenSize{};
}

}  // namespace shub::devices
