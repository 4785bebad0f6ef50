// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The route table: which frames exist on the serial stream, how each one is
// recognised (its header pattern), how long it is, and which channel it goes
// to. Read once at start-up from ctl_rt.st beside the executable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <serialhub/protocol.h>

namespace shub::router {

inline constexpr uint32_t kRouteTableSize = SHUB_STATUS_ENTRY_COUNT;  // as many as the status object lists
inline constexpr uint32_t kPatternSize = 10;
inline constexpr uint32_t kTextSize = 260;
inline constexpr const char* kRouteFileName = "ctl_rt.st";

struct RouteEntry {
  int32_t channel = 0;      // N of CRT<N>
  int32_t frameLength = 0;  // whole frame, header included; 0: learn from the first CR LF
  // header, secondPattern and text lie back to back: a header with no zero
  // byte measures on into the next fields (see headerLength()).
  uint8_t header[kPatternSize] = {};
  uint8_t secondPattern[kPatternSize] = {};
  uint8_t text[kTextSize] = {};  // field 6, unterminated; read by nothing
  uint16_t relearn = 0;          // non-zero: forget frameLength after every frame
  uint16_t relearnAux = 0;       // read by nothing
};

struct RouteTable {
  uint32_t count = 0;
  RouteEntry entries[kRouteTableSize];
};

// Whether an entry of `table` routes frames to `channel`.
bool routesChannel(const RouteTable& table, int32_t channel);

// Number of bytes before the first zero byte, counted from header[0] on
// through secondPattern and text; at most 280.
uint32_t headerLength(const RouteEntry& entry);

// The header's bytes, on through secondPattern and text as headerLength() counts.
uint8_t headerByte(const RouteEntry& entry, uint32_t index);

// Finds ctl_rt.st beside the executable and loads it: true when the file was
// opened (even if it held no usable line), false (said) when it could not be.
bool loadRouteTable(RouteTable& table, uint32_t* refusedLines = nullptr);

// Loads the route file at `path`; rejection messages go to `messages`, and
// what an operator should know (the file unreadable, each refused line with
// its number and reason, the routes kept) to stderr.
bool loadRouteTableFrom(RouteTable& table, const char* path, FILE* messages, uint32_t* refusedLines = nullptr);

// What reading a route file made of one route line.
struct RouteLineOutcome {
  uint32_t lineNumber = 0;  // from 1; the pieces of a long line share its number
  std::string text;         // the line as read, a CR before its LF dropped
  int32_t entry = -1;       // the table index it filled; -1 when refused
  std::string reason;       // why it was refused
};

struct RouteFileReading {
  bool opened = false;
  std::string failure;     // why the file could not be read, naming it
  bool truncated = false;  // longer than the parser reads; the rest was ignored
  std::vector<RouteLineOutcome> lines;  // every route line, in file order
};

// Reads the route file at `path` into `table` and says nothing: what became
// of the file and of each route line is in the result. loadRouteTableFrom()
// is this plus the daemon's messages.
RouteFileReading readRouteFile(RouteTable& table, const char* path);

// The six fields of a route line as the parser cuts them: up to a NUL, at ','
// and '\n'. False when the line ends before its fifth field is closed.
bool splitRouteLine(std::string_view line, std::string_view (&fields)[6]);

// One token of a header or second pattern as the parser converts it.
uint8_t patternByte(std::string_view token);

// Parses one line as read (at most 259 characters, with its newline if any)
// into `entry`. False for a malformed route line. Comment and blank lines are
// not route lines: see isRouteLine().
bool isRouteLine(const char* line, size_t length);
// `reason`, when given, says why a line was refused.
bool parseRouteLine(const char* line, size_t length, RouteEntry& entry, std::string* reason = nullptr);

}  // namespace shub::router
