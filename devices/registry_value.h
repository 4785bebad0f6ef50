// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The registry: $CE_ROOT/registry/<HIVE>/<key>/.../<value name>, one file per
// value, keys as directories, all looked up without regard to case.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace shub::devices {

// A DWORD value's text: decimal or 0x-hex from 0 to 0xFFFFFFFF, white space
// around it allowed. The files are edited by hand, so anything else is
// nullopt (a missing value) rather than a guess.
std::optional<uint32_t> parseRegistryDword(std::string_view text);

// The DWORD at `valuePath` below $CE_ROOT ("registry\\HKEY_CURRENT_USER\\...").
std::optional<uint32_t> readRegistryDword(std::string_view valuePath);

}  // namespace shub::devices
