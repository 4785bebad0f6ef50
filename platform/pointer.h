// Absolute pointer injection, the way the touch injector needs it: one event
// of flags, x, y, wheel data and extra information, with x and y in the
// absolute space 0..65535 spanning the screen.
//
// Where the event goes is decided anew for each event, from $CE_ROOT/dev/pointer:
// a regular file records the event as one line "flags x y data extra"; a node
// that leads to a character device (/dev/uinput) feeds an absolute mouse made
// over it at start-up (preparePointerDevice) and kept; no node and $DISPLAY set sends it to the X server through XTest;
// anything else drops it. Safe to call from any thread.
#pragma once

#include <cstdint>

namespace ce {

inline constexpr uint32_t kPointerAbsolute = 0x8000;
inline constexpr uint32_t kPointerMove = 0x0001;
inline constexpr uint32_t kPointerLeftDown = 0x0002;
inline constexpr uint32_t kPointerLeftUp = 0x0004;

struct PointerEvent {
  uint32_t flags = 0;
  int32_t x = 0;
  int32_t y = 0;
  int32_t data = 0;   // wheel movement; unused here
  uint32_t extra = 0; // extra information; unused here
};

// When $CE_ROOT/dev/pointer leads to a character device (uinput), makes the
// absolute mouse over it now, so that the desktop has opened it before the
// first touch; a failure is said once on stderr and tried again, at most once
// a second, by later events. Any other node, or none: nothing (and libevdev
// is not loaded). Called once at start-up, before touch injection starts.
void preparePointerDevice();

// True when a sink took the event; false when it was dropped or failed.
bool injectPointerEvent(const PointerEvent& event);

}  // namespace ce
