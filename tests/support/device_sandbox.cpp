// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
#include "tests/support/device_sandbox.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testing_support {

namespace {
std::string getenvOr(const char* name, bool& had) {
  const char* value = std::getenv(name);
  had = value != nullptr;
  return value ? value : "";
}
}  // namespace

DeviceSandbox::DeviceSandbox() {
  std::string pattern = (fs::temp_directory_path() / "serialhub-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  base_ = pattern;
  root_ = base_ + "/root";
  objects_ = base_ + "/objects";
  fs::create_directories(root_ + "/dev");
  fs::create_directories(objects_);  // the daemon's to make; in-process tests make objects too
  savedRoot_ = getenvOr("CE_ROOT", hadRoot_);
  savedObjects_ = getenvOr("CE_OBJECTS", hadObjects_);
  setenv("CE_ROOT", root_.c_str(), 1);
  setenv("CE_OBJECTS", objects_.c_str(), 1);
}

DeviceSandbox::~DeviceSandbox() {
  if (hadRoot_) setenv("CE_ROOT", savedRoot_.c_str(), 1); else unsetenv("CE_ROOT");
  if (hadObjects_) setenv("CE_OBJECTS", savedObjects_.c_str(), 1); else unsetenv("CE_OBJECTS");
  std::error_code ignored;
  fs::remove_all(base_, ignored);
}

std::string DeviceSandbox::writeFile(std::string_view relativePath, std::string_view contents) const {
  std::string path = root_ + "/" + std::string(relativePath);
  writeHostFile(path, contents);
  return path;
}

std::string DeviceSandbox::readFile(std::string_view relativePath) const {
  return readHostFile(root_ + "/" + std::string(relativePath));
}

std::string readHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeHostFile(const std::string& path, std::string_view contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

std::string builtProgram(std::string_view relative) {
  return std::string(SERIALHUB_BINARY_DIR) + "/" + std::string(relative);
}

}  // namespace testing_support
