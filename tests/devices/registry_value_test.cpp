// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// DWORD values read from hand-edited files: strict numbers only, everything
// else reads as a missing value, and lookups ignore case.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "devices/registry_value.h"
#include "tests/support/device_sandbox.h"

using namespace shub::devices;

namespace {

using testing_support::DeviceSandbox;

constexpr const char* kValueFile = "registry/HKEY_CURRENT_USER/ControlPanel/Volume/Screen";
constexpr const char* kValuePath = "registry\\HKEY_CURRENT_USER\\ControlPanel\\Volume\\Screen";

struct ValueCase {
  const char* text;
  std::optional<uint32_t> expected;
};

TEST(Registry, DwordValueText) {
  const ValueCase cases[] = {
      {"1", 1u},
      {" 42\n", 42u},
      {"\t7\r\n", 7u},
      {"00012", 12u},
      {"0x1F", 31u},
      {"0XfF", 255u},
      {"0x0000000000001", 1u},
      {"4294967295", 0xFFFFFFFFu},
      {"0xFFFFFFFF", 0xFFFFFFFFu},
      {"4294967296", std::nullopt},
      {"0x100000000", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {"", std::nullopt},
      {"  \n", std::nullopt},
      {"0x", std::nullopt},
      {"12abc", std::nullopt},
      {"1 2", std::nullopt},
      {"0x 1", std::nullopt},
      {"0x1g", std::nullopt},
      {"1.5", std::nullopt},
      {"one", std::nullopt},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    EXPECT_EQ(parseRegistryDword(c.text), c.expected);
  }
  EXPECT_EQ(parseRegistryDword(std::string("1\0", 2)), std::nullopt);
  DeviceSandbox sandbox;
  sandbox.writeFile(kValueFile, std::string(100, ' ') + "1");
  EXPECT_EQ(readRegistryDword(kValuePath), std::nullopt) << "an oversized file is not a DWORD";
}

TEST(Registry, LookupIgnoresCase) {
  DeviceSandbox sandbox;
  sandbox.writeFile(kValueFile, "3");
  const std::pair<const char*, std::optional<uint32_t>> cases[] = {
      {"REGISTRY\\hkey_current_user\\controlpanel\\VOLUME\\screen", 3u},
      {"registry\\HKEY_CURRENT_USER\\ControlPanel\\Sound\\Screen", std::nullopt},
      {"registry\\HKEY_CURRENT_USER\\ControlPanel\\Volume", std::nullopt},  // a key is not a value
      {"registry\\HKEY_LOCAL_MACHINE\\ControlPanel\\Volume\\Screen", std::nullopt},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(readRegistryDword(path), expected) << path;
}

}  // namespace
