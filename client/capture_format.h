// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The capture file of crtctl record and replay (serialhub-capture(5)): a
// versioned first line, then one line per read of the serial line with its
// time in microseconds since the recording started, the bytes in hex, and
// event lines for what else happened to the line or the device. Plain hex
// dumps (pairs of hex digits, as `xxd -p` writes) are read too, untimed.
//
// Captures are written by hand and arrive from the field: every line is
// checked, and a bad one is refused by its number instead of being guessed at.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace shub::client {

inline constexpr std::string_view kCaptureHeader = "# serialhub capture 1";

enum class CaptureEvent {
  bytes,      // bytes that arrived in one read
  hangup,     // the line hung up; the port comes back after it
  power,      // AC power went (on == false) or came back
  backlight,  // the lamp was switched (on or off) by then
};

struct CaptureItem {
  uint64_t timeUs = 0;  // 0 in an untimed dump
  CaptureEvent event = CaptureEvent::bytes;
  bool on = false;             // power and backlight
  std::vector<uint8_t> bytes;  // bytes
  uint32_t lineNumber = 0;     // in the file, for messages
};

struct Capture {
  bool timed = false;  // a capture file, not a plain hex dump
  std::vector<CaptureItem> items;
};

// Parses a whole file. False with `error` naming the line and what is wrong.
bool parseCapture(std::string_view text, Capture& out, std::string* why);

// The lines crtctl record writes, each ended by a newline.
std::string readLine(uint64_t timeUs, const uint8_t* bytes, uint32_t count);
std::string eventLine(uint64_t timeUs, CaptureEvent event, bool on);

}  // namespace shub::client
