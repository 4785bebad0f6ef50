// Maps the device's paths onto this machine. Device paths come from a system
// whose file names ignore case and whose separator is '\', and some of them
// come from route files and clients, so resolution must never leave the
// device root (".." stops at the root) and must give the same answer every
// time when two names differ only in case (exact match, else the first in
// byte order). Links inside the root are followed the way the OS follows
// them, since that is how real devices are attached.
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ce {

namespace {

constexpr mode_t kObjectDirMode = 0770;  // before the umask: never world-writable

std::string environmentOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  std::string result = (value && *value) ? value : fallback;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Only ASCII letters fold; other bytes must match exactly.
bool equalIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

std::string joinPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// Splits at '\' and '/', dropping empty and "." components.
std::vector<std::string_view> splitDevicePath(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\' || path[i] == '/') {
      std::string_view part = path.substr(start, i - start);
      if (!part.empty() && part != ".") parts.push_back(part);
      start = i + 1;
    }
  }
  return parts;
}

bool makeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
    if (mkdir(prefix.c_str(), kObjectDirMode) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string ceRoot() { return environmentOr("CE_ROOT", "/"); }

std::string ceObjects() { return environmentOr("CE_OBJECTS", "/dev/shm/ce"); }

std::optional<std::string> findInDirectory(const std::string& dir, std::string_view name) {
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  DIR* stream = opendir(dir.c_str());  // opendir opens its descriptor close-on-exec
  if (!stream) return std::nullopt;
  std::optional<std::string> best;
  while (const dirent* entry = readdir(stream)) {
    const std::string_view entryName(entry->d_name);
    if (entryName == name) {
      best = std::string(entryName);
      break;
    }
    if (entryName == "." || entryName == "..") continue;
    if (equalIgnoringCase(entryName, name) && (!best || entryName < *best)) best = std::string(entryName);
  }
  closedir(stream);
  if (!best) return std::nullopt;
  return joinPath(dir, *best);
}

std::optional<std::string> resolveDevicePath(std::string_view devicePath) {
  const std::string root = ceRoot();
  // The host names matched so far below the root; ".." drops the last one
  // and does nothing at the root itself.
  std::vector<std::string> matched;
  std::string current = root;
  for (std::string_view part : splitDevicePath(devicePath)) {
    if (part == "..") {
      if (!matched.empty()) matched.pop_back();
      current = root;
      for (const std::string& name : matched) current = joinPath(current, name);
      continue;
    }
    std::optional<std::string> found = findInDirectory(current, part);
    if (!found) return std::nullopt;
    matched.push_back(found->substr(found->rfind('/') + 1));
    current = std::move(*found);
  }
  if (!exists(current)) return std::nullopt;  // a dangling link
  return current;
}

std::optional<std::string> findDeviceNode(std::string_view name) {
  const std::optional<std::string> devDir = resolveDevicePath("dev");
  if (!devDir) return std::nullopt;
  std::optional<std::string> node = findInDirectory(*devDir, name);
  if (!node || !exists(*node)) return std::nullopt;
  return node;
}

std::string executableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return "";
  std::string path(buffer, static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::optional<std::string> objectPath(std::string_view name) {
  // "." and ".." would name the directory itself or its parent, and a NUL
  // would silently shorten the name.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string dir = ceObjects();
  if (!makeDirectories(dir)) return std::nullopt;
  return joinPath(dir, std::string(name));
}

}  // namespace ce
