// Absolute pointer injection for the touch injector, x and y in 0..65535 over the
// screen. Each event goes where $CE_ROOT/dev/pointer says at that moment: a regular
// file records "flags x y data extra"; a character device (/dev/uinput) feeds a
// mouse made over it; no node means XTest on $DISPLAY; else it is dropped. Thread-safe.
#pragma once

#include <cstdint>
#include <string>

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

// The line a recording node gets: "flags x y data extra" with the mouse-event
// flags readers of the node know (0x8000 absolute, 0x1 move, 0x2 left down,
// 0x4 left up) and data and extra always 0.
std::string pointerRecord(const PointerEvent& event);

// Makes the uinput mouse now, so that desktops have opened it before the
// first touch; a failure is said once and retried by later events.
void preparePointerDevice();

// True when a sink took the event; false when it was dropped or failed.
bool injectPointerEvent(const PointerEvent& event);

}  // namespace shub::os
