// What a tool's scratch folders (client/scratch_folder.h) need of the OS.
#pragma once

#include <optional>
#include <string>

namespace shub::os {

int ownProcessId();

// Makes a folder of mode 0700 from `pathTemplate`, whose last six characters
// are XXXXXX: its path, or nullopt with `why`.
std::optional<std::string> makePrivateFolder(std::string pathTemplate, std::string* why);

// A real folder (not a link) that belongs to our user.
bool isOwnFolder(const std::string& path);

// Process `pid` runs in our pid namespace, ours or not.
bool processRuns(int pid);

}  // namespace shub::os
