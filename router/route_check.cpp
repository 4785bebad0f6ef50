// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The route file checker (see route_check.h). Every byte of the file that a
// warning quotes (tokens, names) is escaped.
#include "router/route_check.h"

#include <algorithm>
#include <cstdio>

#include "router/hex_text.h"

namespace shub::router {

namespace {

constexpr uint32_t kMaxFrame = 260;  // the data area of a channel block

// One accepted line: where it came from and what it became.
struct Route {
  uint32_t line = 0;
  uint32_t index = 0;
  const RouteEntry* entry = nullptr;
  std::vector<uint8_t> header;
};

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
      const std::string said = where + field + " token " + printableText(token) + " reads as " + byte;
      if (ended) {
        warn(where + field + " token " + printableText(token) + " is not matched: a 00 before it ends the header");
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
        warnings.push_back(at(longer) + entry(longer) + " never receives a frame: the header " +
                           hexOrDash(shorter.header) + " of " + entry(shorter) + " (line " +
                           std::to_string(shorter.line) + ") lies inside its header " + hexOrDash(longer.header) +
                           " and takes its frames");
      }
    }
  }
}

}  // namespace

std::vector<uint8_t> routeHeader(const RouteEntry& entry) {
  std::vector<uint8_t> bytes(headerLength(entry));
  for (uint32_t k = 0; k < bytes.size(); ++k) bytes[k] = headerByte(entry, k);
  return bytes;
}

std::string printableText(std::string_view text) {
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

std::string hexOrDash(const std::vector<uint8_t>& bytes) {
  return bytes.empty() ? "-" : hexText(bytes.data(), bytes.size());
}

std::vector<std::string> routeWarnings(const RouteTable& table, const RouteFileReading& reading,
                                       const std::string& path) {
  std::vector<std::string> warnings;
  std::vector<Route> routes;
  for (const RouteLineOutcome& line : reading.lines) {
    if (line.entry < 0 || static_cast<uint32_t>(line.entry) >= table.count) continue;
    const std::string where = path + ":" + std::to_string(line.lineNumber) + ": warning: ";
    const Route route{line.lineNumber, static_cast<uint32_t>(line.entry), &table.entries[line.entry],
                      routeHeader(table.entries[line.entry])};
    routes.push_back(route);
    warnTokens(warnings, where, line.text);
    warnEntry(warnings, where, route);
  }
  warnPairs(warnings, path, routes);
  return warnings;
}

}  // namespace shub::router
