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
#include <cstring>
#include <vector>

#include <serialhub/protocol.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ce {

namespace {

// Group members reach the objects, others never; new objects take the
// directory's group (set-group-ID), whatever the umask.
constexpr mode_t kObjectDirMode = 02770;

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

// Makes the missing folders of `path`; the last one gets kObjectDirMode.
bool makeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const bool last = slash == std::string::npos;
    const std::string prefix = last ? path : path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0770) == 0) {
      if (last && chmod(prefix.c_str(), kObjectDirMode) != 0) return false;
    } else if (errno != EEXIST) {
      return false;
    }
    if (last) return true;
  }
}

}  // namespace

std::string ceRoot() { return environmentOr("CE_ROOT", "/"); }

std::string ceObjects() { return environmentOr("CE_OBJECTS", SHUB_OBJECTS_DEFAULT); }

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
  return joinPath(ceObjects(), std::string(name));
}

std::string prepareObjectsDirectory() {
  const std::string dir = ceObjects();
  struct stat info {};
  if (lstat(dir.c_str(), &info) != 0) {
    if (errno != ENOENT) return dir + ": " + std::strerror(errno);
    if (!makeDirectories(dir) || lstat(dir.c_str(), &info) != 0) return dir + ": " + std::strerror(errno);
  }
  // Another user's folder, or one that others may write, could hold links
  // and files planted to make us write where we must not: refused, never
  // repaired or followed.
  if (S_ISLNK(info.st_mode)) return dir + ": is a symbolic link; refused";
  if (!S_ISDIR(info.st_mode)) return dir + ": not a directory";
  if (info.st_uid != geteuid() && info.st_uid != 0) {
    return dir + ": belongs to uid " + std::to_string(info.st_uid) + ", not to this user or root; refused";
  }
  if (info.st_mode & S_IWOTH) return dir + ": writable by others; refused";
  return {};
}

}  // namespace ce
