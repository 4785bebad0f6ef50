// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl routes: a route file as the daemon reads it, through the daemon's own
// parser and checker. Each entry is shown as the frame assembler will use it,
// each refused line with its reason, and the checker's warnings
// (router/route_check.h), which the daemon also gives at load.
//
// The file is the operator's hand-written text: every byte of it that is
// printed (names, tokens) is escaped, so a stray control character cannot
// drive the terminal.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "client/tool.h"
#include "platform/paths.h"
#include "router/route_check.h"
#include "router/route_table.h"

namespace shub::client {

namespace {

std::vector<uint8_t> secondPattern(const router::RouteEntry& entry) {
  std::vector<uint8_t> bytes;
  for (uint32_t k = 0; k < router::kPatternSize && entry.secondPattern[k] != 0; ++k) bytes.push_back(entry.secondPattern[k]);
  return bytes;
}

std::string name(const router::RouteEntry& entry) {
  const auto* text = reinterpret_cast<const char*>(entry.text);
  return router::printableText(std::string_view(text, strnlen(text, router::kTextSize)));
}

// Rows of cells, printed in columns two blanks apart.
void printTable(FILE* out, const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    std::fprintf(out, "%s\n", line.c_str());
  }
}

// The route file the daemon would read: ctl_rt.st beside the serialhub next
// to crtctl, else in the install's folder, else on PATH.
std::optional<std::string> defaultRouteFile(std::string* why) {
  const std::optional<std::string> daemon = findDaemonProgram();
  if (!daemon) {
    refuse(why, std::string("no serialhub beside crtctl, in ") + SERIALHUB_LIBEXEC_DIR + " or on PATH; name the route file");
    return std::nullopt;
  }
  const std::string folder = std::filesystem::path(*daemon).parent_path().string();
  if (std::optional<std::string> file = os::findInDirectory(folder, router::kRouteFileName)) return file;
  refuse(why, std::string("no ") + router::kRouteFileName + " beside " + *daemon);
  return std::nullopt;
}

}  // namespace

int runRoutes(const ToolContext& context) {
  if (context.args.size() > 1) return usageError(context, "routes", "expected at most one route file");
  std::string path;
  if (context.args.empty()) {
    std::string problem;
    const std::optional<std::string> found = defaultRouteFile(&problem);
    if (!found) {
      std::fprintf(context.err, "crtctl routes: %s\n", problem.c_str());
      return kExitFailed;
    }
    path = *found;
  } else {
    path = std::string(context.args[0]);
  }

  router::RouteTable table;
  const router::RouteFileReading reading = readRouteFile(table, path.c_str());
  if (!reading.opened) {
    std::fprintf(context.err, "crtctl routes: %s\n", reading.failure.c_str());
    return kExitFailed;
  }

  std::vector<std::string> refusals;
  std::vector<std::vector<std::string>> rows = {{"line", "entry", "channel", "header", "second", "length", "relearn", "name"}};
  for (const router::RouteLineOutcome& line : reading.lines) {
    if (line.entry < 0) {
      refusals.push_back(path + ":" + std::to_string(line.lineNumber) + ": refused: " + line.reason);
      continue;
    }
    const router::RouteEntry& entry = table.entries[line.entry];
    rows.push_back({std::to_string(line.lineNumber), std::to_string(line.entry), "CRT" + std::to_string(entry.channel),
                    router::hexOrDash(routeHeader(entry)), router::hexOrDash(secondPattern(entry)),
                    entry.frameLength == 0 ? "CR LF" : std::to_string(entry.frameLength), entry.relearn ? "yes" : "no",
                    name(entry)});
  }
  const std::vector<std::string> warnings = router::routeWarnings(table, reading, path);

  FILE* out = context.out;
  std::fprintf(out, "%s: %u %s, %zu %s refused\n", path.c_str(), table.count, table.count == 1 ? "route" : "routes",
               refusals.size(), refusals.size() == 1 ? "line" : "lines");
  if (reading.truncated) std::fprintf(out, "%s: warning: longer than the daemon reads; the rest is ignored\n", path.c_str());
  if (rows.size() > 1) printTable(out, rows);
  for (const std::string& line : refusals) std::fprintf(out, "%s\n", line.c_str());
  for (const std::string& line : warnings) std::fprintf(out, "%s\n", line.c_str());
  return refusals.empty() ? kExitOk : kExitDataError;
}

}  // namespace shub::client
