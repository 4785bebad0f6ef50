// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The device's paths resolve below $CE_ROOT, its nodes in $CE_ROOT/dev, objects in
// $CE_OBJECTS; and whole files read where only a regular file makes sense
// (configuration, simulated nodes, sysfs attributes, registry values).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace shub::os {

// $CE_ROOT (default "/") and $CE_OBJECTS (default "/dev/shm/ce"), without a trailing '/'.
std::string ceRoot();
std::string ceObjects();

// The non-empty runs of `path` between any of `separators`.
std::vector<std::string_view> splitPath(std::string_view path, const char* separators);

// The host path of an existing file or directory below ceRoot(): '\' and '/' split,
// ".." stops at the root, components match case-blind (exact first, else byte order).
std::optional<std::string> resolveDevicePath(std::string_view devicePath);

// `name` in host directory `dir`, matched as above.
std::optional<std::string> findInDirectory(const std::string& dir, std::string_view name);

// The node `name` ("BKL1", "COM7", "screen") in $CE_ROOT/dev; nullopt when missing.
std::optional<std::string> findDeviceNode(std::string_view name);

// The file type bits (S_IFMT) of what `path` leads to; 0 when nothing does.
mode_t fileType(const std::string& path);

struct FileRead {
  std::optional<std::string> text;  // nullopt: nothing was read
  int error = 0;                    // the OS error when nothing was read
  bool notRegular = false;          // the path names something other than a regular file
  bool truncated = false;           // longer than asked for: text holds the first maxBytes
};

// At most `maxBytes` bytes of the regular file at `path`.
FileRead readRegularFile(const std::string& path, size_t maxBytes);

// One write(2) of `text` to the existing file `path`, appended or replacing it.
bool writeNodeFile(const std::string& path, std::string_view text, bool append);

// The directory of the running executable, without a trailing '/'.
std::string executableDirectory();

// Named object `name` in ceObjects(); nullopt for a name that would leave it.
std::optional<std::string> objectPath(std::string_view name);

// For the daemon: makes the objects directory (mode 2770) or checks it is a real
// one of this user or root that others cannot write. False with `why`, naming it.
bool prepareObjectsDirectory(std::string* why);

}  // namespace shub::os
