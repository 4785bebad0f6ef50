// Private: the X connection of pointer injection (XTest) and screen metrics,
// apart from the windows' connection because, unlike windows, these carry
// over to a new server: after the X server restarts (a display manager
// restart), the next use connects again, at most once a second, and touch
// injection resumes without restarting the process. Not for use outside
// platform/.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <functional>

namespace ce {

// The Xlib functions of this connection, from libX11 mapped on first use: a
// daemon that never injects through X never maps the X libraries.
struct XlibApi {
  decltype(&XInitThreads) initThreads = nullptr;
  decltype(&XSetErrorHandler) setErrorHandler = nullptr;
  decltype(&XSetIOErrorHandler) setIOErrorHandler = nullptr;
  decltype(&XSetIOErrorExitHandler) setIOErrorExitHandler = nullptr;
  decltype(&XOpenDisplay) openDisplay = nullptr;
  decltype(&XCloseDisplay) closeDisplay = nullptr;
  decltype(&XSelectInput) selectInput = nullptr;
  decltype(&XGetGeometry) getGeometry = nullptr;
  decltype(&XPending) pending = nullptr;
  decltype(&XNextEvent) nextEvent = nullptr;
  decltype(&XFlush) flush = nullptr;
};

// The XTest functions, from libXtst mapped on first connection.
struct XTestApi {
  decltype(&XTestQueryExtension) query = nullptr;
  decltype(&XTestFakeMotionEvent) fakeMotion = nullptr;
  decltype(&XTestFakeButtonEvent) fakeButton = nullptr;
};

// What a use of the connection may touch; valid only inside the use.
struct X11InputScreen {
  Display* display = nullptr;
  int screen = 0;
  int width = 0;   // the root window's size as the server last announced it
  int height = 0;
  const XTestApi* xtest = nullptr;  // nullptr: no libXtst, or no XTEST on the server
};

// Runs `use` on the connection to $DISPLAY, under the connection's lock, and
// flushes what it sent; returns its result, or false when there is no usable
// connection now (DISPLAY unset, the server away, or a connection attempt not
// yet due). Never waits long: a connection attempt runs on a thread of its
// own and is waited for at most a second, once: a later use does not wait
// for an attempt it did not start.
bool withX11InputDisplay(const std::function<bool(const X11InputScreen&)>& use);

}  // namespace ce
