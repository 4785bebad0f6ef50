// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Small text values read from device nodes, sysfs attributes and registry files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/paths.h"

namespace shub::devices {

enum class TooLong {
  refuse,  // a longer file cannot hold a valid value: nullopt
  cut,     // only its first maxBytes bytes count
};

inline std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes, TooLong tooLong) {
  os::FileRead read = os::readRegularFile(path, maxBytes);
  return read.truncated && tooLong == TooLong::refuse ? std::nullopt : std::move(read.text);
}

// `text` without the white space (space, tab, CR, LF, VT, FF) at either end.
inline std::string_view trimSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(kSpace);
  return first == std::string_view::npos ? std::string_view{}
                                         : text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace shub::devices
