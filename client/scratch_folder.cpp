// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The name, the owner and the pid each keep a sweep off what is no leftover (another
// user's or program's folder, a planted link, a live run); the lock covers a live
// owner in another pid namespace and a pid reused since.
#include "client/scratch_folder.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <string_view>

#include "platform/tool_files.h"
#include "platform/tool_files.h"

namespace fs = std::filesystem;

namespace shub::client {
namespace {

constexpr size_t kUniqueLength = 6;  // mkdtemp's XXXXXX

fs::path temporaryFolder() {
  std::error_code failure;
  fs::path folder = fs::temp_directory_path(failure);
  return failure ? fs::path("/tmp") : folder;
}

// The owner's pid of "<prefix>.<pid>.XXXXXX"; nullopt for any other name.
std::optional<int> ownerOf(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix) || name.size() < prefix.size() + 3 + kUniqueLength) return std::nullopt;
  name.remove_prefix(prefix.size());
  const std::string_view unique = name.substr(name.size() - kUniqueLength);
  const std::string_view digits = name.substr(1, name.size() - kUniqueLength - 2);
  const auto alphanumeric = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  if (name.front() != '.' || name[digits.size() + 1] != '.' || digits.front() == '0' ||
      !std::ranges::all_of(unique, alphanumeric)) {
    return std::nullopt;
  }
  int pid = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  return error == std::errc() && end == digits.data() + digits.size() && pid > 0 ? std::optional(pid) : std::nullopt;
}

}  // namespace

std::optional<std::string> makeScratchFolder(const std::string& prefix, std::string* why) {
  return os::makePrivateFolder(
      (temporaryFolder() / (prefix + "." + std::to_string(os::ownProcessId()) + ".XXXXXX")).string(), why);
}

size_t sweepScratchFolders(const std::string& prefix) {
  size_t removed = 0;
  std::error_code failure;
  for (const fs::directory_entry& entry : fs::directory_iterator(temporaryFolder(), failure)) {
    const std::optional<int> owner = ownerOf(entry.path().filename().native(), prefix);
    if (!owner || !os::isOwnFolder(entry.path()) || os::processRuns(*owner)) continue;
    os::FolderLock lock;
    if (!lock.tryLock(entry.path().string())) continue;
    std::error_code removal;
    if (fs::remove_all(entry.path(), removal) != static_cast<uintmax_t>(-1) && !removal) ++removed;
  }
  return removed;
}

}  // namespace shub::client
