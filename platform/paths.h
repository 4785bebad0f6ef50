// Where the device lives on this machine. The device's own paths
// ("\ResidentFlash2\korvent\app\duskcard.exe", "residentflash2\sleep.exe")
// resolve below $CE_ROOT; named objects live in $CE_OBJECTS.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ce {

// $CE_ROOT, default "/"; never ends in '/' except for "/" itself.
std::string ceRoot();

// $CE_OBJECTS, default "/dev/shm/ce".
std::string ceObjects();

// Resolves a device path below ceRoot(): '\' and '/' both separate, a leading
// separator is optional, each component is matched without regard to case (an
// exact match wins, else the first in byte order), ".." never climbs above the
// root. Returns the host path of an existing file or directory, or nullopt.
std::optional<std::string> resolveDevicePath(std::string_view devicePath);

// The node `name` ("BKL1", "COM7", "screen") in $CE_ROOT/dev, found without
// regard to case; nullopt when missing.
std::optional<std::string> findDeviceNode(std::string_view name);

// Looks `name` up in host directory `dir` without regard to case; the full
// path of the match, or nullopt.
std::optional<std::string> findInDirectory(const std::string& dir, std::string_view name);

// The directory of the running executable (from /proc/self/exe), without a
// trailing '/'.
std::string executableDirectory();

// The host path of named object `name` in ceObjects(). nullopt for a name
// that is empty or holds '/'.
std::optional<std::string> objectPath(std::string_view name);

// For the daemon, the one process that makes the objects directory: makes it
// (mode 2770, whatever the umask) when missing, else checks that it is a real
// directory of this user or root that others cannot write. Empty when it can
// be used, otherwise what is wrong, naming the directory.
std::string prepareObjectsDirectory();

}  // namespace ce
