// Pointer events for an X session without a pointer node: XTest moves the
// core pointer and presses button 1, as a mouse would.
//
// The absolute space 0..65535 is mapped onto the X screen's own pixels
// (rounded, so a touch on pixel 400 of 800 lands on pixel 400 again), clamped
// to the screen: XTest cannot place the pointer outside it anyway. The
// screen's size is the root window's current one, so a resolution change is
// followed.
//
// Must survive: no display, a lost connection or a server restart (dropped
// until the connection is back, see x11_input_display), a screen of size 0
// (coordinate 0), calls from several threads (the connection is serialised).
#include <algorithm>
#include <cmath>

#include "platform/pointer_sinks.h"
#include "platform/x11_input_display.h"

namespace ce {
namespace {

int toPixel(int32_t absolute, int pixels) {
  if (pixels <= 0) return 0;
  const double scaled = std::round(static_cast<double>(absolute) * pixels / 65535.0);
  return static_cast<int>(std::clamp(scaled, 0.0, static_cast<double>(pixels - 1)));
}

}  // namespace

bool xtestPointerEvent(const PointerEvent& event) {
  return withX11InputDisplay([&event](const X11InputScreen& x) {
    if (x.xtest == nullptr) return false;
    bool ok = true;
    if ((event.flags & kPointerMove) != 0 && (event.flags & kPointerAbsolute) != 0) {
      ok &= x.xtest->fakeMotion(x.display, x.screen, toPixel(event.x, x.width), toPixel(event.y, x.height),
                                CurrentTime) != 0;
    }
    if ((event.flags & kPointerLeftDown) != 0) ok &= x.xtest->fakeButton(x.display, 1, True, CurrentTime) != 0;
    if ((event.flags & kPointerLeftUp) != 0) ok &= x.xtest->fakeButton(x.display, 1, False, CurrentTime) != 0;
    return ok;
  });
}

}  // namespace ce
