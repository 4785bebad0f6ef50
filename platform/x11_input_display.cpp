// The reconnecting X connection of pointer injection and screen metrics.
//
// Must survive:
// - the server going away: Xlib's exit handler marks the connection lost
//   (the process lives on, see prepareXlib()), the next use closes it and
//   connects again; attempts start at most once a second per DISPLAY, or at
//   once when DISPLAY changed;
// - a server that accepts but never answers: XOpenDisplay would block for
//   ever, so each attempt runs on a thread of its own, waited for at most
//   kConnectWaitMs; one attempt at a time, adopted by a later use once done;
// - a server that stops reading: nothing is sent while its socket is not
//   writable, so a flush never blocks;
// - a write racing the server's death: SIGPIPE, whose default would end the
//   process, is held back around each use;
// - resolution changes: the root window's size follows the ConfigureNotify
//   the server sends on the root (what XRRUpdateConfiguration consumes),
//   drained at each use. Unlike a round trip per frame (XGetGeometry) this
//   never waits on the server, and unlike DisplayWidth, fixed at connect, it
//   follows xrandr;
// - calls from several threads: every use, attempt adoption and close runs
//   under one mutex, so a connection is never closed under a user.
#include "platform/x11_input_display.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/failure_note_internal.h"
#include "platform/shared_library_internal.h"

namespace ce {
namespace {

constexpr uint32_t kRetryMs = 1000;
constexpr auto kConnectWaitMs = std::chrono::milliseconds(1000);

struct Connection {
  const XlibApi* x = nullptr;
  Display* display = nullptr;
  std::string name;  // the DISPLAY it was opened from
  int screen = 0;
  int width = 0;
  int height = 0;
  const XTestApi* xtest = nullptr;
  std::atomic<bool> lost{false};  // set by Xlib's exit handler, inside a call of ours
};

// One connection attempt, shared by its thread and the link.
struct Attempt {
  std::string name;
  std::mutex mutex;
  std::condition_variable finishedSignal;
  bool finished = false;               // guarded by mutex
  std::unique_ptr<Connection> result;  // guarded by mutex; nullptr: failed
  int error = 0;                       // guarded by mutex: errno of a failed open
};

struct Link {
  std::mutex mutex;
  std::unique_ptr<Connection> connection;
  std::shared_ptr<Attempt> attempt;  // the attempt in flight, if any
  std::string attemptName;           // DISPLAY of the last attempt started
  uint32_t attemptTick = 0;
  bool attempted = false;
  bool said = false;  // the present outage is said on stderr
};

// Never destroyed: a connection open at exit stays reachable, and an attempt
// thread still running then touches only its own Attempt.
Link& link() {
  static Link* const instance = new Link;
  return *instance;
}

const XlibApi* xlibApi() {
  return detail::loadLibraryApi<XlibApi>("libX11.so.6", [](void* library, XlibApi& api) {
    using detail::resolveSymbol;
    return resolveSymbol(library, "XInitThreads", api.initThreads) &&
           resolveSymbol(library, "XSetErrorHandler", api.setErrorHandler) &&
           resolveSymbol(library, "XSetIOErrorHandler", api.setIOErrorHandler) &&
           resolveSymbol(library, "XSetIOErrorExitHandler", api.setIOErrorExitHandler) &&
           resolveSymbol(library, "XOpenDisplay", api.openDisplay) &&
           resolveSymbol(library, "XCloseDisplay", api.closeDisplay) &&
           resolveSymbol(library, "XSelectInput", api.selectInput) &&
           resolveSymbol(library, "XGetGeometry", api.getGeometry) &&
           resolveSymbol(library, "XPending", api.pending) &&
           resolveSymbol(library, "XNextEvent", api.nextEvent) && resolveSymbol(library, "XFlush", api.flush);
  });
}

int ignoreProtocolError(Display*, XErrorEvent*) { return 0; }
int ignoreConnectionLoss(Display*) { return 0; }

// Xlib's thread support and its process-wide error handlers, once, before the
// first connection: protocol errors are ignored, and both this handler and the
// per-display exit handler must return for a lost connection to leave the
// process alive (Xlib's default for either one exits; a longjmp out of Xlib
// would leave its locks held).
const XlibApi* preparedXlib() {
  static const XlibApi* const api = [] {
    const XlibApi* x = xlibApi();
    if (x != nullptr) {
      x->initThreads();
      x->setErrorHandler(ignoreProtocolError);
      x->setIOErrorHandler(ignoreConnectionLoss);
    }
    return x;
  }();
  return api;
}

const XTestApi* xtestApi() {
  return detail::loadLibraryApi<XTestApi>("libXtst.so.6", [](void* library, XTestApi& api) {
    using detail::resolveSymbol;
    return resolveSymbol(library, "XTestQueryExtension", api.query) &&
           resolveSymbol(library, "XTestFakeMotionEvent", api.fakeMotion) &&
           resolveSymbol(library, "XTestFakeButtonEvent", api.fakeButton);
  });
}

void noteLost(Display*, void* connection) { static_cast<Connection*>(connection)->lost.store(true); }

// Everything that needs a round trip happens here, on the attempt's thread:
// the XTEST query (so no fake event makes one later) and the root's size
// after selecting its ConfigureNotify (so no change falls in between).
std::unique_ptr<Connection> connect(const std::string& name, int& error) {
  const XlibApi* x = preparedXlib();
  if (x == nullptr) {
    error = ELIBACC;
    return nullptr;
  }
  errno = 0;
  Display* display = x->openDisplay(name.c_str());
  if (display == nullptr) {
    error = errno;
    return nullptr;
  }
  auto connection = std::make_unique<Connection>();
  connection->display = display;
  connection->name = name;
  connection->x = x;
  x->setIOErrorExitHandler(display, noteLost, connection.get());
  fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
  connection->screen = DefaultScreen(display);
  const ::Window root = RootWindow(display, connection->screen);
  x->selectInput(display, root, StructureNotifyMask);
  ::Window parent = 0;
  int left = 0, top = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  const bool sized = x->getGeometry(display, root, &parent, &left, &top, &width, &height, &border, &depth) != 0;
  connection->width = static_cast<int>(width);
  connection->height = static_cast<int>(height);
  int event = 0, errorBase = 0, major = 0, minor = 0;
  const XTestApi* api = xtestApi();
  if (api != nullptr && api->query(display, &event, &errorBase, &major, &minor)) connection->xtest = api;
  if (!sized || connection->lost.load()) {
    x->closeDisplay(display);
    return nullptr;
  }
  return connection;
}

void runAttempt(const std::shared_ptr<Attempt>& attempt) {
  int error = 0;
  std::unique_ptr<Connection> result = connect(attempt->name, error);
  std::lock_guard lock(attempt->mutex);
  attempt->result = std::move(result);
  attempt->error = error;
  attempt->finished = true;
  attempt->finishedSignal.notify_all();
}

void closeConnection(Link& l) {
  l.connection->x->closeDisplay(l.connection->display);
  l.connection.reset();
}

// Starts an attempt when none is in flight and one is due; true when started.
bool startAttempt(Link& l, const std::string& name) {
  if (l.attempt) return false;
  const uint32_t now = tickCount();
  if (l.attempted && l.attemptName == name && now - l.attemptTick < kRetryMs) return false;
  l.attempted = true;
  l.attemptName = name;
  l.attemptTick = now;
  l.attempt = std::make_shared<Attempt>();
  l.attempt->name = name;
  std::thread(runAttempt, l.attempt).detach();
  return true;
}

// Takes the attempt's result once it is done (waiting only for an attempt
// this call started).
void adoptAttempt(Link& l, bool startedNow) {
  std::shared_ptr<Attempt> attempt = l.attempt;
  std::unique_lock lock(attempt->mutex);
  if (startedNow) attempt->finishedSignal.wait_for(lock, kConnectWaitMs, [&] { return attempt->finished; });
  if (!attempt->finished) return;
  l.attempt.reset();
  if (attempt->result == nullptr) {
    if (!l.said) detail::noteFailure("X display " + attempt->name, "cannot connect", attempt->error);
    l.said = true;
    return;
  }
  l.connection = std::move(attempt->result);
  l.said = false;
}

// The connection to `name`, after dropping a lost or outdated one and
// adopting or starting an attempt; nullptr when none is usable now.
Connection* current(Link& l, const std::string& name) {
  if (l.connection && (l.connection->lost.load() || l.connection->name != name)) {
    if (l.connection->lost.load() && !l.said) {
      detail::noteFailure("X display " + l.connection->name, "connection lost; connecting again", 0);
      l.said = true;
    }
    closeConnection(l);
  }
  if (l.connection || name.empty()) return l.connection.get();
  const bool startedNow = startAttempt(l, name);
  if (l.attempt) adoptAttempt(l, startedNow);
  if (l.connection && l.connection->name != name) closeConnection(l);  // DISPLAY changed meanwhile
  return l.connection.get();
}

// Follows the root window's size; reads only what has arrived.
void drainEvents(Connection& c) {
  const ::Window root = RootWindow(c.display, c.screen);
  while (!c.lost.load() && c.x->pending(c.display) > 0) {
    XEvent event;
    c.x->nextEvent(c.display, &event);
    if (event.type == ConfigureNotify && event.xconfigure.window == root) {
      c.width = event.xconfigure.width;
      c.height = event.xconfigure.height;
    }
  }
}

bool writable(const Connection& c) {
  pollfd fd = {ConnectionNumber(c.display), POLLOUT, 0};
  return ::poll(&fd, 1, 0) == 1;  // POLLHUP or POLLERR too: the flush then finds the loss
}

// Holds SIGPIPE back on this thread and swallows one raised meanwhile by our
// own write to a dead server.
class SigpipeHeld {
 public:
  SigpipeHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
    sigset_t pending;
    sigpending(&pending);
    pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeHeld() {
    sigset_t pending;
    sigpending(&pending);
    if (!pendingBefore_ && sigismember(&pending, SIGPIPE) == 1) {
      const timespec none = {0, 0};
      sigtimedwait(&pipe_, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  sigset_t pipe_{};
  sigset_t saved_{};
  bool pendingBefore_ = false;
};

}  // namespace

bool withX11InputDisplay(const std::function<bool(const X11InputScreen&)>& use) {
  const char* display = std::getenv("DISPLAY");
  const std::string name = display != nullptr ? display : "";
  Link& l = link();
  std::lock_guard lock(l.mutex);
  SigpipeHeld held;
  Connection* c = current(l, name);
  if (c != nullptr) drainEvents(*c);
  if (c != nullptr && c->lost.load()) c = current(l, name);  // found lost just now: connect again at once
  if (c == nullptr) return false;
  drainEvents(*c);
  if (c->lost.load() || !writable(*c)) return false;
  const bool ok = use(X11InputScreen{c->display, c->screen, c->width, c->height, c->xtest});
  c->x->flush(c->display);
  return ok && !c->lost.load();
}

}  // namespace ce
