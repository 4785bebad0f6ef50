// Private: the X connection of the process's windows and drawing contexts.
// Pointer injection and screen metrics use a connection of their own that
// follows a server restart (x11_input_display.h). Not for use outside platform/.
//
// Rules for users of the connection:
// - Do not close it and do not install X error handlers: the platform's handler
//   ignores protocol errors (a window of another process may vanish while we
//   look at it), and a lost connection is marked dead instead of ending the
//   process; after that x11Display() returns nullptr.
// - Xlib's own locking is on (libX11 >= 1.8 does it by default; XInitThreads
//   is called before the first open anyway), so calls from several threads are
//   safe. Events are read only by the window module; do not call XNextEvent.
// - Flush (XFlush) after drawing; the message loop flushes before it sleeps too.
#pragma once

#include <X11/Xlib.h>

namespace ce {

struct Window;

// Xlib's thread support and the process-wide error handlers (protocol errors
// ignored, a lost connection not ending the process), set once before the
// first connection of either kind is opened.
void prepareXlib();

// Opened from $DISPLAY on first use and kept. nullptr when DISPLAY is unset,
// the server does not answer (retried at most once a second, or at once when
// DISPLAY changed) or the connection was lost.
Display* x11Display();

// The X window behind a platform window; 0 for a message-only window, a stale
// handle or nullptr.
unsigned long x11WindowId(Window* window);

// The default screen's number, visual and depth; valid while x11Display() is.
int x11Screen();
Visual* x11Visual();
int x11Depth();

}  // namespace ce
