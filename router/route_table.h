// The route table: which frames exist on the serial stream, how each one is
// recognised (its header pattern), how long it is, and which channel it goes
// to. Read once at start-up from ctl_rt.st beside the executable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/named_block.h"
#include "platform/named_event.h"

inline constexpr uint32_t kRouteTableSize = 10;
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
  // Set by createChannelBlocks(); invalid/null until then.
  ce::NamedBlock block;
  ce::NamedEvent* event = nullptr;
  uint8_t* blockAddress = nullptr;
};

struct RouteTable {
  uint32_t count = 0;
  RouteEntry entries[kRouteTableSize];
};

// Number of bytes before the first zero byte, counted from header[0] on
// through secondPattern and text; at most 280.
uint32_t headerLength(const RouteEntry& entry);

// The header's bytes, on through secondPattern and text as headerLength() counts.
uint8_t headerByte(const RouteEntry& entry, uint32_t index);

// Finds ctl_rt.st beside the executable and loads it: 1 when the file was
// opened (even if it held no usable line), 0 when it could not be opened.
int loadRouteTable(RouteTable& table);

// Loads the route file at `path`; rejection messages go to `messages`, and
// what an operator should know (the file unreadable, each refused line with
// its number and reason, the routes kept) to stderr.
int loadRouteTableFrom(RouteTable& table, const char* path, FILE* messages);

// Parses one line as read (at most 259 characters, with its newline if any)
// into `entry`. False for a malformed route line. Comment and blank lines are
// not route lines: see isRouteLine().
bool isRouteLine(const char* line, size_t length);
// `reason`, when given, says why a line was refused.
bool parseRouteLine(const char* line, size_t length, RouteEntry& entry, std::string* reason = nullptr);
