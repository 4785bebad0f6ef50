// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Opening an X connection, and the daemon's connection for XTest and screen
// metrics, made anew after a display manager restart. Survives a lost server
// (our handlers return; the next use reconnects), a mute one (each attempt on a
// thread of its own, waited for at most a second), one that stops reading (we
// send only when writable) and a write racing its death (SIGPIPE is ignored).
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/log.h"
#include "platform/pointer.h"
#include "platform/shared_library_internal.h"
#include "platform/xlib_internal.h"

namespace shub::os {
namespace {

// The daemon's Xlib and XTest functions, through libXtst, which brings libX11.
struct DaemonXlib : XlibApi {
  decltype(&XCloseDisplay) closeDisplay = nullptr;
  decltype(&XSelectInput) selectInput = nullptr;
  decltype(&XPending) pending = nullptr;
  decltype(&XNextEvent) nextEvent = nullptr;
  decltype(&XFlush) flush = nullptr;
  decltype(&XTestQueryExtension) queryXTest = nullptr;
  decltype(&XTestFakeMotionEvent) fakeMotion = nullptr;
  decltype(&XTestFakeButtonEvent) fakeButton = nullptr;
};

const DaemonXlib* loadXlib() {
  return detail::loadLibraryApi<DaemonXlib>("libXtst.so.6", [](void* library, DaemonXlib& api) {
    return detail::resolveSymbols(library,
                                  {"XInitThreads", "XSetErrorHandler", "XSetIOErrorHandler", "XOpenDisplay",
                                   "XSetIOErrorExitHandler", "XCloseDisplay", "XFlush", "XSelectInput", "XPending",
                                   "XNextEvent", "XTestQueryExtension", "XTestFakeMotionEvent", "XTestFakeButtonEvent"},
                                  api.initThreads, api.setErrorHandler, api.setIOErrorHandler, api.openDisplay,
                                  api.setIOErrorExitHandler, api.closeDisplay, api.flush, api.selectInput, api.pending,
                                  api.nextEvent, api.queryXTest, api.fakeMotion, api.fakeButton);
  });
}

int ignoreProtocolError(Display*, XErrorEvent*) { return 0; }
int ignoreConnectionLoss(Display*) { return 0; }
void noteLost(Display*, void* lost) { *static_cast<std::atomic<bool>*>(lost) = true; }

struct Connection {
  int error = 0;  // of a failed attempt, whose display is nullptr
  const DaemonXlib* x = nullptr;
  Display* display = nullptr;
  std::string name;  // the DISPLAY it was opened from
  int width = 0, height = 0;
  bool xtest = false;             // the server has XTEST
  std::atomic<bool> lost{false};  // set by Xlib's exit handler, inside a call of ours
  ~Connection() { if (display != nullptr) x->closeDisplay(display); }
};

struct Link {
  std::mutex mutex;
  std::unique_ptr<Connection> connection;
  std::future<std::unique_ptr<Connection>> attempt;  // the attempt in flight, if any
  detail::RetryGate gate;
};

// Every round trip happens here, on the attempt's thread: the XTEST query, so
// that no fake event makes one later. The root's size is the one the server
// announced at connect; its ConfigureNotify, selected at once, follows it.
std::unique_ptr<Connection> connect(const std::string& name) {
  auto c = std::make_unique<Connection>();
  c->x = loadXlib();
  errno = 0;
  c->display = c->x != nullptr ? openXConnection(*c->x, name.c_str(), &c->lost) : nullptr;
  c->error = c->x != nullptr ? errno : ELIBACC;
  if (c->display == nullptr) return c;
  c->name = name;
  c->x->selectInput(c->display, DefaultRootWindow(c->display), StructureNotifyMask);
  int event = 0, error = 0, major = 0, minor = 0;
  c->xtest = c->x->queryXTest(c->display, &event, &error, &major, &minor);
  c->width = DisplayWidth(c->display, DefaultScreen(c->display));
  c->height = DisplayHeight(c->display, DefaultScreen(c->display));
  return c;  // lost meanwhile: the use finds it so
}

// Follows the root window's size; reads only what has arrived.
void drainEvents(Connection& c) {
  while (!c.lost && c.x->pending(c.display) > 0) {
    XEvent event;
    c.x->nextEvent(c.display, &event);
    if (event.type == ConfigureNotify && event.xconfigure.window == DefaultRootWindow(c.display)) {
      c.width = event.xconfigure.width;
      c.height = event.xconfigure.height;
    }
  }
}

// Drops a lost or outdated connection, adopts or starts an attempt.
Connection* current(Link& l, const std::string& name) {
  if (l.connection) drainEvents(*l.connection);  // may find the connection lost
  if (l.connection && (l.connection->lost || l.connection->name != name)) {
    if (l.connection->lost && l.gate.failures.allow()) {
      logWarning("X display %s: connection lost; connecting again", l.connection->name.c_str());
    }
    l.connection.reset();
  }
  if (l.connection || name.empty()) return l.connection.get();
  bool startedNow = false;
  if (!l.attempt.valid() && l.gate.due(name, std::chrono::steady_clock::now())) {
    std::packaged_task<std::unique_ptr<Connection>()> task([name] { return connect(name); });
    l.attempt = task.get_future();
    std::thread(std::move(task)).detach();
    startedNow = true;
  }
  const auto wait = std::chrono::seconds(startedNow ? 1 : 0);
  if (!l.attempt.valid() || l.attempt.wait_for(wait) != std::future_status::ready) return nullptr;
  std::unique_ptr<Connection> done = l.attempt.get();
  if (done->display == nullptr) {
    if (l.gate.failures.allow()) {
      logWarning("X display %s: cannot connect%s%s", l.gate.target.c_str(), done->error != 0 ? ": " : "",
                 done->error != 0 ? std::strerror(done->error) : "");
    }
    return nullptr;
  }
  l.gate.succeeded();
  l.connection = std::move(done);
  if (l.connection->name != name) l.connection.reset();  // DISPLAY changed meanwhile
  return l.connection.get();
}

// Runs `use` on the connection to $DISPLAY under its lock, then flushes.
bool withConnection(const std::function<bool(const Connection&)>& use) {
  static Link& l = *[] {
    std::signal(SIGPIPE, SIG_IGN);
    return new Link;  // never destroyed: an attempt thread may still run at exit
  }();
  const char* display = std::getenv("DISPLAY");
  const std::string name = display != nullptr ? display : "";
  std::lock_guard lock(l.mutex);
  Connection* c = current(l, name);
  if (c == nullptr) return false;
  pollfd socket = {ConnectionNumber(c->display), POLLOUT, 0};
  // POLLHUP or POLLERR count as writable: the flush then finds the loss.
  if (c->lost || ::poll(&socket, 1, 0) != 1) return false;
  const bool ok = use(*c);
  c->x->flush(c->display);
  return ok && !c->lost;
}

// 0..65535 onto the screen's pixels, rounded (a touch on pixel 400 of 800
// lands on pixel 400 again) and clamped: XTest cannot leave the screen anyway.
int toPixel(int32_t absolute, int pixels) {
  if (pixels <= 0) return 0;
  const double scaled = std::round(static_cast<double>(absolute) * pixels / 65535.0);
  return static_cast<int>(std::clamp(scaled, 0.0, static_cast<double>(pixels - 1)));
}

}  // namespace

Display* openXConnection(const XlibApi& x, const char* name, std::atomic<bool>* lost) {
  static std::once_flag once;
  std::call_once(once, [&x] {
    x.initThreads();
    x.setErrorHandler(ignoreProtocolError);
    // This and the per-display exit handler must return for a lost connection to
    // leave the process alive; a longjmp out of Xlib would leave its locks held.
    x.setIOErrorHandler(ignoreConnectionLoss);
  });
  Display* display = x.openDisplay(name);
  if (display == nullptr) return nullptr;
  fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
  x.setIOErrorExitHandler(display, noteLost, lost);
  return display;
}

bool displayPointerEvent(const PointerEvent& event) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;
  return withConnection([&event](const Connection& c) {
    if (!c.xtest) return false;
    bool ok = true;
    if (pointerMoves(event)) {
      ok &= c.x->fakeMotion(c.display, DefaultScreen(c.display), toPixel(event.x, c.width), toPixel(event.y, c.height),
                                CurrentTime) != 0;
    }
    ok &= c.x->fakeButton(c.display, 1, event.buttons.left ? True : False, CurrentTime) != 0;
    return ok;
  });
}

std::optional<ScreenSize> xScreenSize() {
  std::optional<ScreenSize> size;
  withConnection([&size](const Connection& c) {
    size = ScreenSize{c.width, c.height};
    return true;
  });
  return size;
}

}  // namespace shub::os
