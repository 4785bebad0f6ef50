// Where the device lives on this machine. The device's own paths
// ("\ResidentFlash2\korvent\app\duskcard.exe", "residentflash2\sleep.exe")
// resolve below $CE_ROOT; its nodes live in $CE_ROOT/dev; named objects in
// $CE_OBJECTS.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ce {

// $CE_ROOT, default "/"; $CE_OBJECTS, default "/dev/shm/ce". Neither ends in
// '/' except for "/" itself.
std::string ceRoot();
std::string ceObjects();

// The non-empty components of `path` between any of `separators`.
std::vector<std::string_view> splitPath(std::string_view path, const char* separators);

// Resolves a device path below ceRoot(): '\' and '/' both separate, each
// component is matched without regard to case (an exact match wins, else the
// first in byte order), ".." never climbs above the root. The host path of an
// existing file or directory, or nullopt.
std::optional<std::string> resolveDevicePath(std::string_view devicePath);

// `name` in host directory `dir` without regard to case, as above.
std::optional<std::string> findInDirectory(const std::string& dir, std::string_view name);

// The node `name` ("BKL1", "COM7", "screen") in $CE_ROOT/dev; nullopt when missing.
std::optional<std::string> findDeviceNode(std::string_view name);

// The file type bits (S_IFMT) of what `path` leads to; 0 when nothing does.
mode_t fileType(const std::string& path);

// One write(2) of `text` to the existing file `path`, appended or replacing
// its contents; never creates it. A simulated device records a request this
// way, so concurrent callers' lines never interleave.
bool writeNodeFile(const std::string& path, std::string_view text, bool append);

// The directory of the running executable, without a trailing '/'.
std::string executableDirectory();

// The host path of named object `name` in ceObjects(); nullopt for a name that
// could leave that directory.
std::optional<std::string> objectPath(std::string_view name);

// For the daemon, the one process that makes the objects directory: makes it
// (mode 2770, whatever the umask) or checks that it is a real directory of
// this user or root that others cannot write. Empty when usable, otherwise
// what is wrong, naming the directory.
std::string prepareObjectsDirectory();

}  // namespace ce
