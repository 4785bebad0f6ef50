// Absolute pointer injection for the touch injector, x and y in 0..65535 over the
// screen. Each event goes where $CE_ROOT/dev/pointer says at that moment: a regular
// file records "flags x y data extra"; a character device (/dev/uinput) feeds a
// mouse made over it; no node means XTest on $DISPLAY; else it is dropped. Thread-safe.
#pragma once

#include <cstdint>

namespace shub::os {

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

// Makes the uinput mouse now, so that desktops have opened it before the
// first touch; a failure is said once and retried by later events.
void preparePointerDevice();

// True when a sink took the event; false when it was dropped or failed.
bool injectPointerEvent(const PointerEvent& event);

}  // namespace shub::os
