// Pointer events for an X session without a pointer node: XTest moves the
// core pointer and presses button 1, as a mouse would.
//
// The absolute space 0..65535 is mapped onto the X screen's own pixels
// (rounded, so a touch on pixel 400 of 800 lands on pixel 400 again), clamped
// to the screen: XTest cannot place the pointer outside it anyway.
//
// Must survive: no display or a lost connection (dropped), a screen of size 0
// (coordinate 0), calls from several threads (Xlib locks its connection).
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cmath>

#include "platform/pointer_sinks.h"
#include "platform/x11_display.h"

namespace ce {
namespace {

int toPixel(int32_t absolute, int pixels) {
  if (pixels <= 0) return 0;
  const double scaled = std::round(static_cast<double>(absolute) * pixels / 65535.0);
  return static_cast<int>(std::clamp(scaled, 0.0, static_cast<double>(pixels - 1)));
}

}  // namespace

bool xtestPointerEvent(const PointerEvent& event) {
  Display* display = x11Display();
  if (display == nullptr) return false;
  const int screen = x11Screen();
  bool ok = true;
  if ((event.flags & kPointerMove) != 0 && (event.flags & kPointerAbsolute) != 0) {
    const int x = toPixel(event.x, DisplayWidth(display, screen));
    const int y = toPixel(event.y, DisplayHeight(display, screen));
    ok &= XTestFakeMotionEvent(display, screen, x, y, CurrentTime) != 0;
  }
  if ((event.flags & kPointerLeftDown) != 0) ok &= XTestFakeButtonEvent(display, 1, True, CurrentTime) != 0;
  if ((event.flags & kPointerLeftUp) != 0) ok &= XTestFakeButtonEvent(display, 1, False, CurrentTime) != 0;
  XFlush(display);
  return ok;
}

}  // namespace ce
