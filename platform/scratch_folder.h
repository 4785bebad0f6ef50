// A tool's private temporary folder, named after the process that owns it:
// <TMPDIR>/<prefix>.<pid>.XXXXXX (mode 0700). Nothing runs when a tool is
// killed outright, so a later run of it removes the folders whose owner is
// gone instead.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace shub::os {

// Makes the folder: its path, or nullopt with `why`.
std::optional<std::string> makeScratchFolder(const std::string& prefix, std::string* why);

// Removes each <TMPDIR>/<prefix>.<pid>.XXXXXX that is a real folder (not a
// link) of our user, whose pid is no running process, and whose lock
// (FolderLock: a live owner holds it, wherever its pid is counted) is free.
// Anything else of that shape is left alone. How many it removed.
size_t sweepScratchFolders(const std::string& prefix);

}  // namespace shub::os
