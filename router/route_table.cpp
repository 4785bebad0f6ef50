// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Reads ctl_rt.st, the hand-edited text file that tells the frame assembler
// which frames exist on the serial stream, into the fixed ten-entry table.
//
// The file is written by people on whatever editor was at hand, so the parser
// must survive anything: CR LF line ends, lines longer than the read buffer,
// NUL bytes, fields that are too long, missing fields, numbers that overflow,
// more route lines than the table holds. A malformed route line is reported
// with the one message the daemon has and leaves the table as it was; nothing
// is ever read outside the line or written outside the entry.
#include "router/route_table.h"

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <serialhub/protocol.h>

#include "platform/log.h"
#include "platform/paths.h"
#include "router/route_check.h"

namespace shub::router {

namespace {

constexpr size_t kLineBufferSize = 260;  // a line is at most 259 characters
constexpr size_t kMaxFieldLength = 19;
constexpr size_t kMaxNumberPairLength = 9;
constexpr int32_t kMaxFrameLength = SHUB_BLOCK_DATA_SIZE;  // the data area of a channel block
constexpr int kFieldCount = 6;
// Far beyond any real route file (ten entries and their comments).
constexpr size_t kMaxRouteFileBytes = 64 * 1024;

// "指针异常" in GBK, then CR LF: the daemon's only message.
constexpr unsigned char kRejectionMessage[] = {0xD6, 0xB8, 0xD5, 0xEB, 0xD2,
                                               0xEC, 0xB3, 0xA3, 0x0D, 0x0A};

// headerLength() walks header, secondPattern and text as one run of bytes.
static_assert(offsetof(RouteEntry, secondPattern) == offsetof(RouteEntry, header) + kPatternSize);
static_assert(offsetof(RouteEntry, text) == offsetof(RouteEntry, secondPattern) + kPatternSize);
constexpr uint32_t kHeaderRunLength = 2 * kPatternSize + kTextSize;

bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }

// One field as it appears in the line.
using Field = std::string_view;

// A field with the blanks taken out, for the fields that drop them.
struct Squeezed {
  char chars[kLineBufferSize] = {};
  size_t length = 0;
};

Squeezed squeeze(Field field) {
  Squeezed out;
  for (size_t i = 0; i < field.size() && out.length < sizeof out.chars; ++i) {
    const unsigned char c = static_cast<unsigned char>(field[i]);
    if (!isBlank(c)) out.chars[out.length++] = static_cast<char>(c);
  }
  return out;
}

// Like atoi: leading white space, optional sign, digits up to the first
// non-digit, 0 without digits. Out-of-range values saturate at the int32
// limits instead of overflowing.
int32_t toInteger(const char* chars, size_t length) {
  size_t i = 0;
  while (i < length && (chars[i] == ' ' || (chars[i] >= '\t' && chars[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < length && (chars[i] == '+' || chars[i] == '-')) negative = chars[i++] == '-';
  const int64_t limit = negative ? -int64_t{std::numeric_limits<int32_t>::min()}
                                 : int64_t{std::numeric_limits<int32_t>::max()};
  int64_t magnitude = 0;
  for (; i < length && chars[i] >= '0' && chars[i] <= '9'; ++i) {
    magnitude = std::min(limit, magnitude * 10 + (chars[i] - '0'));
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

// The value of one pattern character: only 'a'..'f' are letters here, so
// upper-case letters and everything else are taken as if they were digits.
int nibbleValue(unsigned char c) { return (c >= 'a' && c <= 'f') ? c - 0x57 : c - 0x30; }

// Blank-separated tokens into `pattern`, in order; empty tokens give nothing.
void parsePattern(Field field, uint8_t (&pattern)[kPatternSize]) {
  uint32_t stored = 0;
  size_t i = 0;
  while (i < field.size() && stored < kPatternSize) {
    while (i < field.size() && isBlank(static_cast<unsigned char>(field[i]))) ++i;
    const size_t start = i;
    while (i < field.size() && !isBlank(static_cast<unsigned char>(field[i]))) ++i;
    if (i > start) pattern[stored++] = patternByte(field.substr(start, i - start));
  }
}

// "relearn-relearnAux". Empty: neither is written; no '-': only relearnAux
// is (to 0). False when too long.
bool parseNumberPair(Field field, RouteEntry& entry) {
  const Squeezed pair = squeeze(field);
  if (pair.length > kMaxNumberPairLength) return false;
  if (pair.length == 0) return true;
  const char* dash = static_cast<const char*>(std::memchr(pair.chars, '-', pair.length));
  if (dash == nullptr) {
    entry.relearnAux = 0;
    return true;
  }
  const size_t before = static_cast<size_t>(dash - pair.chars);
  entry.relearn = static_cast<uint16_t>(toInteger(pair.chars, before));
  entry.relearnAux = static_cast<uint16_t>(toInteger(dash + 1, pair.length - before - 1));
  return true;
}

bool fieldTooLong(Field field, bool dropsBlanks) {
  return (dropsBlanks ? squeeze(field).length : field.size()) > kMaxFieldLength;
}

// Everything the line sets; the handles are left alone.
void copyParsedFields(const RouteEntry& from, RouteEntry& to) {
  to.channel = from.channel;
  to.frameLength = from.frameLength;
  std::memcpy(to.header, from.header, sizeof to.header);
  std::memcpy(to.secondPattern, from.secondPattern, sizeof to.secondPattern);
  std::memcpy(to.text, from.text, sizeof to.text);
  to.relearn = from.relearn;
  to.relearnAux = from.relearnAux;
}

// Cuts the next line off `rest` as fgets() into a 260-byte buffer would: up
// to and including the newline, at most 259 characters; a longer line comes in
// pieces. Unlike fgets() it reports the length, so NUL bytes cannot hide the
// rest of the line. A CR right before the LF is dropped so that CR LF files
// read like LF files (otherwise the CR would land in the text and a blank
// CR LF line would be rejected). 0 at the end of the text.
size_t takeLine(std::string_view& rest, char (&buffer)[kLineBufferSize]) {
  size_t length = 0;
  while (length < kLineBufferSize - 1 && length < rest.size()) {
    buffer[length] = rest[length];
    if (buffer[length++] == '\n') break;
  }
  rest.remove_prefix(length);
  if (length >= 2 && buffer[length - 1] == '\n' && buffer[length - 2] == '\r') {
    buffer[length - 2] = '\n';
    --length;
  }
  return length;
}

void reportRejectedLine(FILE* messages) {
  if (messages == nullptr) return;
  std::fwrite(kRejectionMessage, 1, sizeof kRejectionMessage, messages);
  std::fflush(messages);
}

}  // namespace

uint8_t headerByte(const RouteEntry& entry, uint32_t index) {
  if (index < kPatternSize) return entry.header[index];
  index -= kPatternSize;
  if (index < kPatternSize) return entry.secondPattern[index];
  index -= kPatternSize;
  if (index < kTextSize) return entry.text[index];
  return 0;
}

uint32_t headerLength(const RouteEntry& entry) {
  uint32_t length = 0;
  while (length < kHeaderRunLength && headerByte(entry, length) != 0) ++length;
  return length;
}

// Any line that does not open with ';', a blank or a newline is a route line,
// a NUL-led one included: it is then refused like any other malformed line.
bool isRouteLine(const char* line, size_t length) {
  if (line == nullptr || length == 0) return false;
  const char first = line[0];
  return first != ';' && first != ' ' && first != '\n';
}

uint8_t patternByte(std::string_view token) {
  if (token.empty()) return 0;
  const int high = nibbleValue(static_cast<unsigned char>(token[0]));
  const int low = token.size() >= 2 ? nibbleValue(static_cast<unsigned char>(token[1])) : -0x30;
  return static_cast<uint8_t>(static_cast<unsigned>(16 * high + low) & 0xFFu);
}

// Fields 1 to 5 must each be closed by ',' or '\n'; field 6 may also end
// with the text.
bool splitRouteLine(std::string_view line, std::string_view (&fields)[kFieldCount]) {
  line = line.substr(0, line.find('\0'));
  size_t i = 0;
  for (int f = 0; f < kFieldCount; ++f) {
    const size_t start = i;
    while (i < line.size() && line[i] != ',' && line[i] != '\n') ++i;
    fields[f] = line.substr(start, i - start);
    if (i == line.size()) return f == kFieldCount - 1;
    ++i;  // the ',' or '\n' that closed the field
  }
  return true;
}

bool parseRouteLine(const char* line, size_t length, RouteEntry& entry, std::string* reason) {
  const auto refuse = [reason](std::string why) {
    if (reason != nullptr) *reason = std::move(why);
    return false;
  };
  if (line == nullptr) return refuse("no line");
  const std::string_view text(line, length);
  Field fields[kFieldCount];
  if (!splitRouteLine(text, fields)) {
    return refuse(text.empty() || text[0] == '\0' ? "begins with a NUL byte"
                                                  : "ends before its fifth field is closed by ',' or a newline");
  }
  for (int f = 0; f < kFieldCount; ++f) {
    if (fieldTooLong(fields[f], f >= 4)) {
      return refuse("field " + std::to_string(f + 1) + " is longer than " + std::to_string(kMaxFieldLength) +
                    " characters");
    }
  }

  // Built in a fresh record and copied on success, so a rejected line leaves
  // the entry untouched and a later line never inherits its bytes.
  RouteEntry parsed;
  parsed.channel = toInteger(fields[0].data(), fields[0].size());
  // An empty header is kept like any other entry (it still gets its channel
  // block); the frame assembler leaves it out of the header search.
  parsePattern(fields[1], parsed.header);
  parsePattern(fields[2], parsed.secondPattern);
  if (!parseNumberPair(fields[3], parsed)) {
    return refuse("field 4 is longer than " + std::to_string(kMaxNumberPairLength) + " characters without blanks");
  }

  const Squeezed frameLength = squeeze(fields[4]);
  parsed.frameLength = toInteger(frameLength.chars, frameLength.length);
  // A frame must fit the 260-byte data area of a channel block.
  if (parsed.frameLength < 0 || parsed.frameLength > kMaxFrameLength) {
    return refuse("frame length " + std::to_string(parsed.frameLength) + " is outside 0 to " +
                  std::to_string(kMaxFrameLength));
  }

  const Squeezed name = squeeze(fields[5]);
  std::memcpy(parsed.text, name.chars, name.length);

  copyParsedFields(parsed, entry);
  return true;
}

// The file as the operator should find it in a message.
std::string describeRead(const os::FileRead& file) {
  if (file.notRegular) return file.error == EISDIR ? "is a directory" : "is not a regular file";
  return std::string("cannot be read: ") + std::strerror(file.error);
}

RouteFileReading readRouteFile(RouteTable& table, const char* path) {
  RouteFileReading reading;
  if (path == nullptr) return reading;
  // Only a regular file counts: a FIFO would block start-up, a link to a
  // device could be read for ever, and a directory is not an empty table.
  const os::FileRead file = os::readRegularFile(path, kMaxRouteFileBytes);
  if (!file.text) {
    reading.failure = std::string(path) + ": " + describeRead(file);
    return reading;
  }
  reading.opened = true;
  reading.truncated = file.truncated;
  std::string_view rest = *file.text;
  char line[kLineBufferSize];
  uint32_t lineNumber = 1;
  for (size_t length = takeLine(rest, line); length > 0; length = takeLine(rest, line)) {
    RouteLineOutcome outcome{lineNumber, std::string(line, length), -1, {}};
    if (line[length - 1] == '\n') ++lineNumber;  // a long line's pieces share its number
    if (!isRouteLine(line, length)) continue;
    outcome.reason = "an eleventh route line; the table holds ten";
    if (table.count < kRouteTableSize && parseRouteLine(line, length, table.entries[table.count], &outcome.reason)) {
      outcome.entry = static_cast<int32_t>(table.count++);
      outcome.reason.clear();
    }
    reading.lines.push_back(std::move(outcome));
  }
  return reading;
}

bool loadRouteTableFrom(RouteTable& table, const char* path, FILE* messages, uint32_t* refusedLines) {
  const RouteFileReading reading = readRouteFile(table, path);
  if (!reading.opened) {
    if (!reading.failure.empty()) os::logError("%s", reading.failure.c_str());
    return false;
  }
  if (reading.truncated) {
    os::logWarning("%s: longer than %zu bytes; the rest is ignored", path, static_cast<size_t>(kMaxRouteFileBytes));
  }
  uint32_t refused = 0;
  for (const RouteLineOutcome& line : reading.lines) {
    if (line.entry >= 0) continue;
    reportRejectedLine(messages);
    os::logWarning("%s:%u: %s", path, line.lineNumber, line.reason.c_str());
    ++refused;
  }
  // A legal file can still leave a channel dead; the operator hears it here,
  // where crtctl routes would have told it.
  for (const std::string& warning : routeWarnings(table, reading, path)) os::logWarning("%s", warning.c_str());
  os::logInfo("%s: %u %s, %u %s", path, table.count, table.count == 1 ? "route" : "routes", refused,
              refused == 1 ? "line refused" : "lines refused");
  if (refusedLines != nullptr) *refusedLines = refused;
  return true;
}

bool routesChannel(const RouteTable& table, int32_t channel) {
  const RouteEntry* end = table.entries + std::min(table.count, kRouteTableSize);
  return std::any_of(table.entries, end, [channel](const RouteEntry& entry) { return entry.channel == channel; });
}

bool loadRouteTable(RouteTable& table, uint32_t* refusedLines) {
  const std::string directory = os::executableDirectory();
  const std::optional<std::string> path = os::findInDirectory(directory, kRouteFileName);
  if (!path) {
    os::logError("%s/%s: no route file beside the program", directory.c_str(), kRouteFileName);
    return false;
  }
  return loadRouteTableFrom(table, path->c_str(), stdout, refusedLines);
}

}  // namespace shub::router
