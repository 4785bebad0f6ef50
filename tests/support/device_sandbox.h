// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A private device for one test: a temporary folder holding the device root
// (CE_ROOT, with dev/) and the named-object directory (CE_OBJECTS). The
// environment variables point at it for the life of the sandbox, so this
// process and every program it starts use it.
#pragma once

#include <string>
#include <string_view>

namespace testing_support {

class DeviceSandbox {
 public:
  DeviceSandbox();
  ~DeviceSandbox();
  DeviceSandbox(const DeviceSandbox&) = delete;
  DeviceSandbox& operator=(const DeviceSandbox&) = delete;

  const std::string& base() const { return base_; }
  const std::string& root() const { return root_; }        // CE_ROOT
  const std::string& objects() const { return objects_; }  // CE_OBJECTS

  // Writes `contents` to `relativePath` below the root, making folders.
  std::string writeFile(std::string_view relativePath, std::string_view contents) const;
  // Reads a file below the root; "" when missing.
  std::string readFile(std::string_view relativePath) const;

 private:
  std::string base_, root_, objects_;
  std::string savedRoot_, savedObjects_;
  bool hadRoot_ = false, hadObjects_ = false;
};

// Whole contents of a host file; "" when missing.
std::string readHostFile(const std::string& path);
// Writes a host file, making its folder.
void writeHostFile(const std::string& path, std::string_view contents);

// A built program: SERIALHUB_BINARY_DIR/<relative>, e.g. "daemon/serialhub".
std::string builtProgram(std::string_view relative);

}  // namespace testing_support
