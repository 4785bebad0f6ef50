// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Device paths (some from route files and clients) never resolve outside the root and
// always alike; links inside it are followed: that is how real devices are attached.
// Whatever stands at a path read whole, the caller never blocks on it (a FIFO), never
// reads for ever (a link to /dev/zero) and never takes a directory for an empty file.
#include "platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include <serialhub/protocol.h>

#include "platform/log.h"

namespace shub::os {
namespace {

// A 32-bit off_t or ino_t makes readdir fail (EOVERFLOW) on file systems with
// 64-bit cookies or inode numbers: every target builds with large-file support.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

// A directory that cannot be read through is said once, until it reads whole.
// Returns whether to say it now.
bool firstUnreadable(const std::string& dir, bool unreadable) {
  static std::mutex mutex;
  static std::set<std::string> said;
  const std::lock_guard lock(mutex);
  if (!unreadable) return said.erase(dir), false;
  return said.insert(dir).second;
}

std::string environmentOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  std::string result = (value && *value) ? value : fallback;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

// Only ASCII letters fold; other bytes must match exactly.
char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// An entry of a directory: "." and ".." name the directory or its parent,
// and a name holding one of `banned` (a separator, a NUL) would leave it.
bool isEntryName(std::string_view name, std::string_view banned) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of(banned) == name.npos;
}

std::string joinPath(const std::string& dir, std::string_view name) {
  return (dir == "/" ? "/" : dir + "/") + std::string(name);
}

// `dir` and its missing parents; `dir` gets mode 2770 whatever the umask, so
// group members reach the objects, others never, and objects take its group.
bool makeObjectsDirectory(const std::string& dir) {
  for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
    if (mkdir(dir.substr(0, slash).c_str(), 0770) != 0 && errno != EEXIST) return false;
  }
  return mkdir(dir.c_str(), 0770) == 0 ? chmod(dir.c_str(), 02770) == 0 : errno == EEXIST;
}

// Appends up to `limit` bytes; false on a read error. Small pieces suit a small stack.
bool readUpTo(int fd, size_t limit, std::string& out) {
  char piece[512];
  while (out.size() < limit) {
    const ssize_t got = ::read(fd, piece, std::min(sizeof piece, limit - out.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0;
    out.append(piece, static_cast<size_t>(got));
  }
  return true;
}

}  // namespace

std::string ceRoot() { return environmentOr("CE_ROOT", "/"); }

std::string ceObjects() { return environmentOr("CE_OBJECTS", SHUB_OBJECTS_DEFAULT); }

std::vector<std::string_view> splitPath(std::string_view path, const char* separators) {
  std::vector<std::string_view> parts;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find_first_of(separators, start), path.size());
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::optional<std::string> findInDirectory(const std::string& dir, std::string_view name) {
  if (!isEntryName(name, "/")) return std::nullopt;
  DIR* stream = opendir(dir.c_str());  // close-on-exec
  if (!stream) return std::nullopt;
  std::optional<std::string> best;  // an exact match, else the first in byte order
  for (;;) {
    errno = 0;  // readdir's end and its failure differ only in errno
    const dirent* entry = readdir(stream);
    if (entry == nullptr) break;
    const std::string_view found(entry->d_name);
    const bool better = !best || found == name || (*best != name && found < *best);
    if (better && std::ranges::equal(found, name, {}, asciiLower, asciiLower)) best = found;
  }
  const int error = errno;
  closedir(stream);
  if (firstUnreadable(dir, error != 0)) logWarning("%s: cannot read the directory: %s", dir.c_str(), std::strerror(error));
  // An entry not read may be the exact match or an earlier one in byte order.
  if (error != 0 && best != name) return std::nullopt;
  if (!best) return std::nullopt;
  return joinPath(dir, *best);
}

std::optional<std::string> resolveDevicePath(std::string_view devicePath) {
  std::vector<std::string> walked{ceRoot()};  // host paths from the root down; ".." never drops the root
  for (std::string_view part : splitPath(devicePath, "\\/")) {
    if (part == "..") {
      if (walked.size() > 1) walked.pop_back();
    } else if (part != ".") {
      std::optional<std::string> found = findInDirectory(walked.back(), part);
      if (!found) return std::nullopt;
      walked.push_back(std::move(*found));
    }
  }
  if (fileType(walked.back()) == 0) return std::nullopt;  // a dangling link
  return walked.back();
}

std::optional<std::string> findDeviceNode(std::string_view name) {
  return isEntryName(name, "\\/") ? resolveDevicePath("dev/" + std::string(name)) : std::nullopt;
}

mode_t fileType(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

FileRead readRegularFile(const std::string& path, size_t maxBytes) {
  FileRead result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat info {};
  std::string buffer;
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    result.error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    result.notRegular = true;
    result.error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  } else if (!readUpTo(fd, maxBytes + 1, buffer)) {  // one more tells a longer file apart
    result.error = errno;
  } else {
    result.truncated = buffer.size() > maxBytes;
    buffer.resize(std::min(buffer.size(), maxBytes));
    result.text = std::move(buffer);
  }
  if (fd >= 0) ::close(fd);
  return result;
}

bool writeNodeFile(const std::string& path, std::string_view text, bool append) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (append ? O_APPEND : O_TRUNC));
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && written;
}

std::string executableDirectory() {
  char self[PATH_MAX];  // not std::filesystem: linked statically, it would bring the locale code along
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self);
  const std::string_view path(self, static_cast<size_t>(std::max<ssize_t>(length, 0)));
  return std::string(path.substr(0, std::max<size_t>(path.rfind('/'), 1)));
}

std::optional<std::string> objectPath(std::string_view name) {
  if (!isEntryName(name, std::string_view("/\0", 2))) return std::nullopt;  // a NUL would cut the name
  return joinPath(ceObjects(), name);
}

bool prepareObjectsDirectory(std::string* why) {
  const std::string dir = ceObjects();
  const auto refuse = [&](const std::string& problem) {
    if (why != nullptr) *why = dir + ": " + problem;
    return false;
  };
  struct stat info {};
  const bool made = lstat(dir.c_str(), &info) == 0 || (errno == ENOENT && makeObjectsDirectory(dir));
  if (!made || lstat(dir.c_str(), &info) != 0) return refuse(std::strerror(errno));
  // A folder of another user, or one others may write, could hold links and
  // files planted to make us write where we must not: refused, never repaired.
  if (S_ISLNK(info.st_mode)) return refuse("is a symbolic link; refused");
  if (!S_ISDIR(info.st_mode)) return refuse("not a directory");
  if (info.st_uid != geteuid() && info.st_uid != 0) {
    return refuse("belongs to uid " + std::to_string(info.st_uid) + ", not to this user or root; refused");
  }
  if (info.st_mode & S_IWOTH) return refuse("writable by others; refused");
  // Objects are made under a dot name first: one made and removed here proves we can.
  std::string probe = dir + "/.probe.XXXXXX";
  const int fd = mkostemp(probe.data(), O_CLOEXEC);
  if (fd < 0) return refuse(std::string("cannot make objects there: ") + std::strerror(errno));
  close(fd);
  unlink(probe.c_str());
  return true;
}

}  // namespace shub::os
