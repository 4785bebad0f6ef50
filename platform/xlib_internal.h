// Private to platform/: Xlib as a table of functions, so that the daemon maps
// libX11 and libXtst only at its first XTest use (dlopen) while duskcard links
// them, and both open a connection one way; and the daemon's X use, pointer
// injection and screen metrics, on a connection that survives a server restart.
#pragma once

#include <X11/Xlib.h>

#include <optional>

#include "platform/pointer.h"
#include "platform/screen.h"

namespace ce {

struct XlibApi {
  decltype(&XInitThreads) initThreads = nullptr;
  decltype(&XSetErrorHandler) setErrorHandler = nullptr;
  decltype(&XSetIOErrorHandler) setIOErrorHandler = nullptr;
  decltype(&XSetIOErrorExitHandler) setIOErrorExitHandler = nullptr;
  decltype(&XOpenDisplay) openDisplay = nullptr;
  decltype(&XCloseDisplay) closeDisplay = nullptr;
  decltype(&XSelectInput) selectInput = nullptr;
  decltype(&XPending) pending = nullptr;
  decltype(&XNextEvent) nextEvent = nullptr;
  decltype(&XFlush) flush = nullptr;
};

// A close-on-exec connection to $DISPLAY; nullptr when none answers. Protocol
// errors are ignored (a window of another process may vanish while we look at
// it; callers check every reply) and a lost connection calls onLost(display,
// arg) instead of ending the process.
Display* openXConnection(const XlibApi& x, const char* name, XIOErrorExitHandler onLost, void* arg);

// The event through XTest on $DISPLAY: the core pointer moves and button 1
// goes down or up. False when it was dropped (no usable connection now).
bool xtestPointerEvent(const PointerEvent& event);

// The root window's current size on $DISPLAY; nullopt when no connection is
// usable now.
std::optional<ScreenSize> xScreenSize();

}  // namespace ce
