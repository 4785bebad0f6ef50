// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// What the touch injector needs of the screen: its size, and absolute pointer
// injection, x and y in 0..65535 over the screen. Each event goes where
// $CE_ROOT/dev/pointer says at that moment: a regular file records a line an
// event; a character device (/dev/uinput) feeds a mouse made over it; no node
// means XTest on $DISPLAY; else it is dropped. Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"

namespace shub::os {

// The screen's size in pixels, as the X server on $DISPLAY knows it.
struct ScreenSize {
  int32_t width = 0;
  int32_t height = 0;
};

// The root window's size, over a connection made anew after a server
// restart; nullopt when no connection is usable now.
std::optional<ScreenSize> xScreenSize();

struct PointerButtons {
  bool left = false;
};

// Each event sets the left button. A press moves the pointer to (x, y) first,
// except at (0, 0), where the button goes down where the pointer already is;
// a release stays where the pointer is.
struct PointerEvent {
  int32_t x = 0;
  int32_t y = 0;
  PointerButtons buttons;
};

// Whether `event` moves the pointer before its button changes.
inline bool pointerMoves(const PointerEvent& event) { return event.buttons.left && (event.x != 0 || event.y != 0); }

// Makes the uinput mouse now, so that desktops have opened it before the
// first touch; a failure is said once and retried by later events.
void preparePointerDevice();

// True when a sink took the event; false when it was dropped or failed. A
// recording node gets `record` appended, the line its readers know.
bool injectPointerEvent(const PointerEvent& event, std::string_view record);

namespace detail {  // the platform's own, open to tests

// The retry gate of the uinput mouse and the X connection: no hammering, no flooded stderr.
struct RetryGate {
  // True when an attempt at `next` may start at `now`: at most one a second
  // at the same target, at once at another. Marks the attempt made.
  bool due(const std::string& next, std::chrono::steady_clock::time_point now) {
    if (tried && next == target && now - at < std::chrono::seconds(1)) return false;
    tried = true, target = next, at = now;
    return true;
  }
  // Ends the outage: a loss right after a success is retried at once.
  void succeeded() {
    failures.reset();
    tried = false;
  }

  std::string target;  // of the last attempt
  std::chrono::steady_clock::time_point at;
  bool tried = false;
  SayOnce failures;  // the first failure since the last success is said
};

// The input events (linux/input.h) of one pointer event on the uinput mouse:
// absolute motion clamped to the axes, button 1, then SYN_REPORT.
struct InputEvent {
  uint16_t type = 0, code = 0;
  int32_t value = 0;
  bool operator==(const InputEvent&) const = default;
};

std::vector<InputEvent> uinputEvents(const PointerEvent& event);

}  // namespace detail

}  // namespace shub::os
