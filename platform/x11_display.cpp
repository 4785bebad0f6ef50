#include "platform/x11_display.h"

#include <mutex>

#include <X11/Xlib.h>

namespace ce {

namespace {

int ignoreProtocolError(Display*, XErrorEvent*) { return 0; }

int ignoreConnectionLoss(Display*) { return 0; }

}  // namespace

void prepareXlib() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(ignoreProtocolError);
    // Both this handler and the per-display exit handler must return for a
    // lost connection to leave the process alive: Xlib's default for either
    // one exits. The exit handler (libX11 1.7 and later) is the sound way;
    // the alternative, a longjmp out of Xlib, leaves its locks held.
    XSetIOErrorHandler(ignoreConnectionLoss);
  });
}

}  // namespace ce
