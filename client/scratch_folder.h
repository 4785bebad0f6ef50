// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A tool's private folder <TMPDIR>/<prefix>.<pid>.XXXXXX (mode 0700); a tool killed
// outright leaves it, so a later run removes the folders whose owner is gone.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace shub::client {

// Makes the folder: its path, or nullopt with `why`.
std::optional<std::string> makeScratchFolder(const std::string& prefix, std::string* why);

// Removes each such real folder (not a link) of our user whose pid runs no process
// and whose FolderLock (held by a live owner in any pid namespace) is free; how many.
size_t sweepScratchFolders(const std::string& prefix);

}  // namespace shub::client
