// crtctl routes: a route file as the daemon reads it, through the daemon's own
// parser. Each entry is shown as the frame assembler will use it, each
// refused line with its reason, and warnings for lines the parser accepts
// but that surely say something else than was meant: letters that are not
// hex digits to the parser, channels that share a block, headers that can
// never complete because another header lies inside them.
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
#include "router/route_table.h"

namespace client {

namespace {

constexpr uint32_t kMaxFrame = 260;  // the data area of a channel block

std::string printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    }
  }
  return out;
}

std::string hex(const std::vector<uint8_t>& bytes) { return bytes.empty() ? "-" : hexText(bytes.data(), bytes.size()); }

// The header as the frame assembler compares it (it may run on into the
// second pattern and the name).
std::vector<uint8_t> header(const RouteEntry& entry) {
  std::vector<uint8_t> bytes(headerLength(entry));
  for (uint32_t k = 0; k < bytes.size(); ++k) bytes[k] = headerByte(entry, k);
  return bytes;
}

std::vector<uint8_t> secondPattern(const RouteEntry& entry) {
  std::vector<uint8_t> bytes;
  for (uint32_t k = 0; k < kPatternSize && entry.secondPattern[k] != 0; ++k) bytes.push_back(entry.secondPattern[k]);
  return bytes;
}

std::string name(const RouteEntry& entry) {
  const auto* text = reinterpret_cast<const char*>(entry.text);
  return printable(std::string_view(text, strnlen(text, kTextSize)));
}

// One accepted line: where it came from and what it became.
struct Route {
  uint32_t line = 0;
  uint32_t index = 0;
  const RouteEntry* entry = nullptr;
  std::vector<uint8_t> header;
};

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

// Tokens of a pattern field that are not two lower-case hex digits, and a
// zero byte that cuts a header short.
void warnTokens(std::vector<std::string>& warnings, const std::string& where, const std::string& text) {
  // A token written several times is said once.
  const auto warn = [&warnings](std::string line) {
    if (std::find(warnings.begin(), warnings.end(), line) == warnings.end()) warnings.push_back(std::move(line));
  };
  std::string_view fields[6];
  if (!splitRouteLine(text, fields)) return;
  for (int f = 1; f <= 2; ++f) {
    const char* field = f == 1 ? "header" : "second pattern";
    std::string_view rest = fields[f];
    bool ended = false;
    while (!rest.empty()) {
      const size_t start = rest.find_first_not_of(" \t");
      if (start == std::string_view::npos) break;
      rest.remove_prefix(start);
      const std::string_view token = rest.substr(0, rest.find_first_of(" \t"));
      rest.remove_prefix(token.size());
      char byte[4];
      std::snprintf(byte, sizeof byte, "%02x", patternByte(token));
      const std::string said = where + field + " token " + printable(token) + " reads as " + byte;
      if (ended) {
        warn(where + field + " token " + printable(token) + " is not matched: a 00 before it ends the header");
        continue;
      }
      if (token.find_first_not_of("0123456789abcdef") != std::string_view::npos) {
        warn(said + ": only 0-9 and lower-case a-f are hex digits");
      } else if (token.size() != 2) {
        warn(said + (token.size() == 1 ? ": a token is two hex digits" : ": only its first two characters count"));
      }
      ended = f == 1 && patternByte(token) == 0;
    }
  }
}

// What one entry cannot do whatever the stream carries.
void warnEntry(std::vector<std::string>& warnings, const std::string& where, const Route& route) {
  const size_t n = route.header.size();
  if (n == 0) {
    warnings.push_back(where + "entry " + std::to_string(route.index) + " has no header: it never receives a frame");
    return;
  }
  if (n > kPatternSize) {
    warnings.push_back(where + "the header has no 00 among its 10 bytes, so it runs on into the second pattern" +
                       (n > 2 * kPatternSize ? " and the name" : "") + ": " + std::to_string(n) + " bytes");
  }
  const int32_t length = route.entry->frameLength;
  if (length > 0 && static_cast<size_t>(length) < n) {
    warnings.push_back(where + "length " + std::to_string(length) + " is shorter than the header (" +
                       std::to_string(n) + " bytes): every frame is discarded");
  }
}

bool contains(const std::vector<uint8_t>& longer, const std::vector<uint8_t>& shorter) {
  for (size_t at = 0; at + shorter.size() <= longer.size(); ++at) {
    if (std::equal(shorter.begin(), shorter.end(), longer.begin() + at)) return true;
  }
  return false;
}

// Pairs of entries that meet: a shared channel (one block and one event), an
// equal header (the later entry takes every frame), or a header lying inside
// a longer one (the shorter matches while the longer is still arriving, or
// takes it over at its last byte, so the longer never completes).
void warnPairs(std::vector<std::string>& warnings, const std::string& path, const std::vector<Route>& routes) {
  const auto at = [&path](const Route& r) { return path + ":" + std::to_string(r.line) + ": warning: "; };
  const auto entry = [](const Route& r) { return "entry " + std::to_string(r.index); };
  for (size_t a = 0; a < routes.size(); ++a) {
    for (size_t b = a + 1; b < routes.size(); ++b) {
      const Route& first = routes[a];
      const Route& later = routes[b];
      if (first.entry->channel == later.entry->channel) {
        warnings.push_back(at(later) + entry(later) + " shares CRT" + std::to_string(later.entry->channel) + " with " +
                           entry(first) + " (line " + std::to_string(first.line) + "): one block and one event");
      }
      const auto searchable = [](const Route& r) { return !r.header.empty() && r.header.size() <= kMaxFrame; };
      if (!searchable(first) || !searchable(later)) continue;
      if (first.header == later.header) {
        warnings.push_back(at(first) + entry(first) + " never receives a frame: " + entry(later) + " (line " +
                           std::to_string(later.line) + ") has the same header and takes every frame");
        continue;
      }
      const bool firstLonger = first.header.size() > later.header.size();
      const Route& longer = firstLonger ? first : later;
      const Route& shorter = firstLonger ? later : first;
      if (contains(longer.header, shorter.header)) {
        warnings.push_back(at(longer) + entry(longer) + " never receives a frame: the header " + hex(shorter.header) +
                           " of " + entry(shorter) + " (line " + std::to_string(shorter.line) +
                           ") lies inside its header " + hex(longer.header) + " and takes its frames");
      }
    }
  }
}

// The route file the daemon would read: ctl_rt.st beside the serialhub next
// to crtctl, else in the install's folder, else on PATH.
std::optional<std::string> defaultRouteFile(std::string& problem) {
  const std::optional<std::string> daemon = findDaemonProgram();
  if (!daemon) {
    problem = std::string("no serialhub beside crtctl, in ") + SERIALHUB_LIBEXEC_DIR + " or on PATH; name the route file";
    return std::nullopt;
  }
  const std::string folder = std::filesystem::path(*daemon).parent_path().string();
  if (std::optional<std::string> file = ce::findInDirectory(folder, kRouteFileName)) return file;
  problem = std::string("no ") + kRouteFileName + " beside " + *daemon;
  return std::nullopt;
}

}  // namespace

int runRoutes(const ToolContext& context) {
  if (context.args.size() > 1) return usageError(context, "routes", "expected at most one route file");
  std::string path;
  if (context.args.empty()) {
    std::string problem;
    const std::optional<std::string> found = defaultRouteFile(problem);
    if (!found) {
      std::fprintf(context.err, "crtctl routes: %s\n", problem.c_str());
      return kExitFailed;
    }
    path = *found;
  } else {
    path = std::string(context.args[0]);
  }

  RouteTable table;
  const RouteFileReading reading = readRouteFile(table, path.c_str());
  if (!reading.opened) {
    std::fprintf(context.err, "crtctl routes: %s\n", reading.failure.c_str());
    return kExitFailed;
  }

  std::vector<Route> routes;
  std::vector<std::string> refusals, warnings;
  std::vector<std::vector<std::string>> rows = {{"line", "entry", "channel", "header", "second", "length", "relearn", "name"}};
  for (const RouteLineOutcome& line : reading.lines) {
    const std::string where = path + ":" + std::to_string(line.lineNumber) + ": ";
    if (line.entry < 0) {
      refusals.push_back(where + "refused: " + line.reason);
      continue;
    }
    const RouteEntry& entry = table.entries[line.entry];
    const Route route{line.lineNumber, static_cast<uint32_t>(line.entry), &entry, header(entry)};
    routes.push_back(route);
    rows.push_back({std::to_string(route.line), std::to_string(route.index), "CRT" + std::to_string(entry.channel),
                    hex(route.header), hex(secondPattern(entry)),
                    entry.frameLength == 0 ? "CR LF" : std::to_string(entry.frameLength), entry.relearn ? "yes" : "no",
                    name(entry)});
    warnTokens(warnings, where + "warning: ", line.text);
    warnEntry(warnings, where + "warning: ", route);
  }
  warnPairs(warnings, path, routes);

  FILE* out = context.out;
  std::fprintf(out, "%s: %u %s, %zu %s refused\n", path.c_str(), table.count, table.count == 1 ? "route" : "routes",
               refusals.size(), refusals.size() == 1 ? "line" : "lines");
  if (reading.truncated) std::fprintf(out, "%s: warning: longer than the daemon reads; the rest is ignored\n", path.c_str());
  if (!routes.empty()) printTable(out, rows);
  for (const std::string& line : refusals) std::fprintf(out, "%s\n", line.c_str());
  for (const std::string& line : warnings) std::fprintf(out, "%s\n", line.c_str());
  return refusals.empty() ? kExitOk : kExitDataError;
}

}  // namespace client
