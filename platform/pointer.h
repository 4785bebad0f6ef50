// Absolute pointer injection for the touch injector, x and y in 0..65535 over the
// screen. Each event goes where $CE_ROOT/dev/pointer says at that moment: a regular
// file records a line an event; a character device (/dev/uinput) feeds a
// mouse made over it; no node means XTest on $DISPLAY; else it is dropped. Thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

namespace shub::os {

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

}  // namespace shub::os
