// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Reading and writing capture files; the grammar is in capture_format.h and
// serialhub-capture(5). Lines may end in CR LF; '#' starts a comment
// anywhere on a line.
#include "client/capture_format.h"
#include "client/tool.h"

#include <charconv>

namespace shub::client {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view nextWord(std::string_view& rest) {
  size_t at = 0;
  while (at < rest.size() && isBlank(rest[at])) ++at;
  size_t end = at;
  while (end < rest.size() && !isBlank(rest[end])) ++end;
  const std::string_view word = rest.substr(at, end - at);
  rest.remove_prefix(end);
  return word;
}

// Words of hex digit pairs ("aa 55", "aa55"); false for anything else.
bool parseHexWords(std::string_view rest, std::vector<uint8_t>& out) {
  for (std::string_view word = nextWord(rest); !word.empty(); word = nextWord(rest)) {
    if (word.size() % 2 != 0) return false;
    for (size_t i = 0; i < word.size(); i += 2) {
      const int high = hexValue(word[i]);
      const int low = hexValue(word[i + 1]);
      if (high < 0 || low < 0) return false;
      out.push_back(static_cast<uint8_t>(high << 4 | low));
    }
  }
  return true;
}

bool parseSwitch(std::string_view word, std::string_view onWord, std::string_view offWord, bool& on) {
  on = word == onWord;
  return on || word == offWord;
}

// One line of a capture file, comment and line end already cut off.
bool parseTimedLine(std::string_view line, CaptureItem& item, std::string* why) {
  const std::string_view time = nextWord(line);
  const auto [stop, failure] = std::from_chars(time.data(), time.data() + time.size(), item.timeUs);
  if (failure != std::errc() || stop != time.data() + time.size()) {
    return refuse(why, "expected microseconds, then hex bytes or an event");
  }
  std::string_view rest = line;
  const std::string_view word = nextWord(rest);
  const std::string_view argument = nextWord(rest);
  const bool single = nextWord(rest).empty();
  if (word == "hangup" && argument.empty()) {
    item.event = CaptureEvent::hangup;
    return true;
  }
  if (word == "power" && single && parseSwitch(argument, "mains", "battery", item.on)) {
    item.event = CaptureEvent::power;
    return true;
  }
  if (word == "backlight" && single && parseSwitch(argument, "on", "off", item.on)) {
    item.event = CaptureEvent::backlight;
    return true;
  }
  return (!word.empty() && parseHexWords(line, item.bytes)) ||
         refuse(why, "expected hex bytes, 'hangup', 'power mains|battery' or 'backlight on|off'");
}

}  // namespace

bool parseCapture(std::string_view text, Capture& out, std::string* why) {
  out = Capture{};
  uint32_t number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (number == 1 && line.starts_with("# serialhub capture")) {
      out.timed = line == kCaptureHeader;
      if (!out.timed) {
        return refuse(why, "line 1: a capture version this crtctl does not know (it reads '" +
                               std::string(kCaptureHeader) + "')");
      }
      continue;
    }
    line = line.substr(0, line.find('#'));
    while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
    while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
    if (line.empty()) continue;
    CaptureItem item;
    item.lineNumber = number;
    std::string problem;
    const bool parsed = out.timed ? parseTimedLine(line, item, &problem) : parseHexWords(line, item.bytes);
    if (!parsed) {
      return refuse(why, "line " + std::to_string(number) + ": " + (out.timed ? problem : "expected pairs of hex digits"));
    }
    if (out.timed && !out.items.empty() && item.timeUs < out.items.back().timeUs) {
      return refuse(why, "line " + std::to_string(number) + ": the time goes back");
    }
    if (item.event != CaptureEvent::bytes || !item.bytes.empty()) out.items.push_back(std::move(item));
  }
  return true;
}

std::string readLine(uint64_t timeUs, const uint8_t* bytes, uint32_t count) {
  return std::to_string(timeUs) + (count != 0 ? " " : "") + router::hexText(bytes, count) + '\n';
}

std::string eventLine(uint64_t timeUs, CaptureEvent event, bool on) {
  std::string line = std::to_string(timeUs);
  switch (event) {
    case CaptureEvent::hangup: return line + " hangup\n";
    case CaptureEvent::power: return line + (on ? " power mains\n" : " power battery\n");
    case CaptureEvent::backlight: return line + (on ? " backlight on\n" : " backlight off\n");
    case CaptureEvent::bytes: break;
  }
  return line + '\n';
}

}  // namespace shub::client
