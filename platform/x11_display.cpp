// The X connection of the process's windows: opened once from $DISPLAY,
// close-on-exec, with error handlers that keep a daemon alive when the X
// server misbehaves or goes away.
//
// Must survive: DISPLAY unset or pointing at nothing (failures are retried at
// most once a second), windows of other processes vanishing under a query
// (BadWindow is ignored instead of exiting), and the server dying (the
// connection is marked dead; Xlib's default would exit the process). The
// windows made on a connection die with it, so this one is not reopened; the
// pointer and the screen metrics use one of their own that is
// (x11_input_display.h).
#include <fcntl.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/x11_display.h"

namespace ce {

namespace {

constexpr uint32_t kRetryMs = 1000;

struct Connection {
  std::mutex mutex;
  std::atomic<Display*> display{nullptr};
  std::atomic<bool> dead{false};
  std::string failedName;  // guarded by mutex: DISPLAY of the last failed open
  uint32_t failedTick = 0;
  bool failedOnce = false;
};

Connection& connection() {
  static Connection instance;
  return instance;
}

int ignoreProtocolError(Display*, XErrorEvent*) { return 0; }

// Process-wide, for every connection: each connection learns of its own loss
// through its exit handler, which is per display.
int ignoreConnectionLoss(Display*) { return 0; }

void keepProcessAlive(Display*, void*) { connection().dead.store(true); }

bool mayRetry(Connection& c, const std::string& name) {
  return !c.failedOnce || c.failedName != name || tickCount() - c.failedTick >= kRetryMs;
}

Display* open(Connection& c, const std::string& name) {
  prepareXlib();
  Display* display = XOpenDisplay(name.c_str());
  if (!display) {
    c.failedOnce = true;
    c.failedName = name;
    c.failedTick = tickCount();
    return nullptr;
  }
  XSetIOErrorExitHandler(display, keepProcessAlive, nullptr);
  fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
  return display;
}

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

Display* x11Display() {
  Connection& c = connection();
  if (c.dead.load()) return nullptr;
  if (Display* display = c.display.load()) return display;
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return nullptr;
  std::lock_guard lock(c.mutex);
  if (Display* display = c.display.load()) return display;
  if (!mayRetry(c, name)) return nullptr;
  Display* display = open(c, name);
  c.display.store(display);
  return display;
}

unsigned long x11WindowId(Window* window) { return lookupWindow(window).xid; }

int x11Screen() {
  Display* display = x11Display();
  return display ? DefaultScreen(display) : 0;
}

Visual* x11Visual() {
  Display* display = x11Display();
  return display ? DefaultVisual(display, DefaultScreen(display)) : nullptr;
}

int x11Depth() {
  Display* display = x11Display();
  return display ? DefaultDepth(display, DefaultScreen(display)) : 0;
}

}  // namespace ce
