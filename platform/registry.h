// The registry: $CE_ROOT/registry/<HIVE>/<key path>/<value name>, one file
// per value, keys as directories, all looked up without regard to case.
// `keyPath` separates keys with '\' ("ControlPanel\Volume").
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace shub::os {

// A DWORD value: decimal or 0x-hex text from 0 to 0xFFFFFFFF, white space
// around it allowed. Anything else, or no such value, is nullopt.
std::optional<uint32_t> readRegistryDword(std::string_view hive, std::string_view keyPath,
                                          std::string_view valueName);

}  // namespace shub::os
