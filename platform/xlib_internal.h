// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Private to platform/: one way to open an X connection for duskcard (linked
// libX11) and the daemon (libX11 mapped at first use); and the daemon's X use.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <optional>

#include "platform/pointer.h"

namespace shub::os {

struct XlibApi {
  decltype(&XInitThreads) initThreads = nullptr;
  decltype(&XSetErrorHandler) setErrorHandler = nullptr;
  decltype(&XSetIOErrorHandler) setIOErrorHandler = nullptr;
  decltype(&XSetIOErrorExitHandler) setIOErrorExitHandler = nullptr;
  decltype(&XOpenDisplay) openDisplay = nullptr;
};

// A close-on-exec connection to `name` ($DISPLAY when nullptr), or nullptr.
// Protocol errors are ignored (foreign windows vanish; callers check every
// reply); a lost connection sets `*lost` instead of ending the process.
Display* openXConnection(const XlibApi& x, const char* name, std::atomic<bool>* lost);

// On $DISPLAY, over a connection made anew after a server restart: the event
// through XTest (the core pointer and button 1). False when no connection is usable now.
bool xtestPointerEvent(const PointerEvent& event);

}  // namespace shub::os
