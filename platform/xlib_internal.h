// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Private to platform/: one way to open an X connection for duskcard (linked
// libX11), the daemon and crtctl (libX11 mapped at first use); finding a
// top-level window; and the daemon's X use.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <optional>

#include "platform/xlib_pointer_internal.h"

namespace shub::os {

struct XlibApi {
  decltype(&XInitThreads) initThreads = nullptr;
  decltype(&XSetErrorHandler) setErrorHandler = nullptr;
  decltype(&XSetIOErrorHandler) setIOErrorHandler = nullptr;
  decltype(&XSetIOErrorExitHandler) setIOErrorExitHandler = nullptr;
  decltype(&XOpenDisplay) openDisplay = nullptr;
};

// A window message: a format-32 ClientMessage of this type, data.l[0] the
// message number, data.l[1] and data.l[2] its unsigned and signed arguments.
inline constexpr char kWindowMessageAtom[] = "_CE_WINDOW_MESSAGE";

// What finding a top-level window, raising it and posting to it takes.
struct WindowXlib {
  XlibApi open;
  decltype(&XCloseDisplay) closeDisplay = nullptr;
  decltype(&XSync) sync = nullptr;
  decltype(&XFree) free = nullptr;
  decltype(&XInternAtom) internAtom = nullptr;
  decltype(&XGetWindowProperty) getWindowProperty = nullptr;
  decltype(&XQueryTree) queryTree = nullptr;
  decltype(&XGetWindowAttributes) getWindowAttributes = nullptr;
  decltype(&XSendEvent) sendEvent = nullptr;
  decltype(&XRaiseWindow) raiseWindow = nullptr;
};

// A close-on-exec connection to `name` ($DISPLAY when nullptr), or nullptr.
// Protocol errors are ignored (foreign windows vanish; callers check every
// reply); a lost connection sets `*lost` instead of ending the process.
Display* openXConnection(const XlibApi& x, const char* name, std::atomic<bool>* lost);

// Whether a window manager that follows the desktop conventions runs on `display`.
bool windowManagerRunning(const WindowXlib& x, Display* display);

// Raises `frame` (the client itself when 0) and asks the window manager, if
// one is `managed` the screen, to activate `client`.
void bringToForeground(const WindowXlib& x, Display* display, ::Window client, ::Window frame, bool managed);

}  // namespace shub::os
