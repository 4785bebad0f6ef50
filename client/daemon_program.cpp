// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Where crtctl finds the serialhub it works with (for `routes` its route
// file, for `replay --run` the program to start): beside crtctl, else where
// the install puts it, else on PATH, as a shell would search it.
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

#include "client/tool.h"
#include "platform/paths.h"

namespace shub::client {

std::optional<std::string> findDaemonProgram() {
  std::vector<std::string> places = {os::executableDirectory(), SERIALHUB_LIBEXEC_DIR};
  if (const char* path = std::getenv("PATH")) {
    for (std::string_view rest = path; !rest.empty();) {
      const size_t colon = rest.find(':');
      const std::string_view place = rest.substr(0, colon);
      places.emplace_back(place.empty() ? "." : place);  // an empty entry is the working directory
      rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
    }
  }
  for (const std::string& place : places) {
    // Links resolved: the daemon looks for its route file beside its own executable.
    std::error_code error;
    const std::filesystem::path program = std::filesystem::canonical(place + "/serialhub", error);
    const std::filesystem::file_status status = std::filesystem::status(program, error);
    if (!error && std::filesystem::is_regular_file(status) &&
        (status.permissions() & std::filesystem::perms::owner_exec) != std::filesystem::perms::none) {
      return program.string();
    }
  }
  return std::nullopt;
}

}  // namespace shub::client
