// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The lamp's node: survives nodes of another kind and a sysfs directory
// without bl_power.
#include "devices/backlight_click.h"

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "platform/paths.h"

namespace shub::devices {

bool switchBacklight(bool on, std::string_view record) {
  const std::optional<std::string> node = os::findDeviceNode("BKL1");
  std::error_code error;
  const auto type = node ? std::filesystem::status(*node, error).type() : std::filesystem::file_type::none;
  if (type == std::filesystem::file_type::regular) return os::writeNodeFile(*node, record, true);
  // bl_power takes framebuffer blank levels: 0 unblanked, 4 powered down.
  return type == std::filesystem::file_type::directory && os::writeNodeFile(*node + "/bl_power", on ? "0" : "4", false);
}

}  // namespace shub::devices
