// Absolute pointer injection for the touch injector: one event of flags, x, y,
// wheel data and extra information, x and y in 0..65535 spanning the screen.
//
// Where an event goes is decided anew for each one, from $CE_ROOT/dev/pointer:
// a regular file records it as one line "flags x y data extra"; a node that
// leads to a character device (/dev/uinput) feeds an absolute mouse made over
// it at start-up and kept; no node and $DISPLAY set sends it to the X server
// through XTest; anything else drops it. Safe to call from any thread.
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
  int32_t data = 0;    // wheel movement; unused here
  uint32_t extra = 0;  // extra information; unused here
};

// Makes the uinput mouse now when the node leads to a character device, so
// that desktops have opened it before the first touch. A failure is said once
// and tried again, at most once a second, by later events. Any other node:
// nothing, and libevdev is not mapped.
void preparePointerDevice();

// True when a sink took the event; false when it was dropped or failed.
bool injectPointerEvent(const PointerEvent& event);

}  // namespace ce
