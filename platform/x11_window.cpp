// X11 top-level windows for the platform's windows, X events as messages, and
// the search for and messages to windows of other processes.
//
// Must survive: a window manager or none (override-redirect without one, the
// full-screen state with one), windows of other processes disappearing while
// we walk the tree (errors are ignored by the connection's handler; every
// reply is checked), ClientMessages from anyone (only our message type is
// taken, and its values are just numbers: nothing in them is trusted as a
// pointer), and a connection that dies (x11Display() turns nullptr).
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <strings.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/x11_display.h"
#include "platform/x11_window.h"

namespace ce {

namespace {

using XWindow = ::Window;

// How deep below a root child (a window-manager frame) a client may sit.
constexpr int kMaxFrameDepth = 4;

struct Atoms {
  Atom ceMessage, wmState, netWmName, utf8String, netSupportingWmCheck, netWmState,
      netWmStateFullscreen, netActiveWindow, wmProtocols, wmDeleteWindow, motifWmHints;
};

const Atoms& atoms(Display* display) {
  static std::once_flag once;
  static Atoms values;
  std::call_once(once, [display] {
    const char* names[] = {"_CE_WINDOW_MESSAGE", "WM_STATE", "_NET_WM_NAME", "UTF8_STRING",
                           "_NET_SUPPORTING_WM_CHECK", "_NET_WM_STATE",
                           "_NET_WM_STATE_FULLSCREEN", "_NET_ACTIVE_WINDOW", "WM_PROTOCOLS",
                           "WM_DELETE_WINDOW", "_MOTIF_WM_HINTS"};
    Atom found[std::size(names)] = {};
    XInternAtoms(display, const_cast<char**>(names), std::size(names), False, found);
    values = Atoms{found[0], found[1], found[2], found[3], found[4], found[5],
                   found[6], found[7], found[8], found[9], found[10]};
  });
  return values;
}

// One 32-bit-format window property holding a single window id; 0 when absent.
XWindow windowProperty(Display* display, XWindow window, Atom property) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  XWindow value = 0;
  if (XGetWindowProperty(display, window, property, 0, 1, False, XA_WINDOW, &type, &format,
                         &count, &after, &data) == Success &&
      data && type == XA_WINDOW && format == 32 && count == 1) {
    value = reinterpret_cast<unsigned long*>(data)[0];
  }
  if (data) XFree(data);
  return value;
}

bool hasProperty(Display* display, XWindow window, Atom property) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  const bool found = XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType,
                                        &type, &format, &count, &after, &data) == Success &&
                     type != None;
  if (data) XFree(data);
  return found;
}

// A compliant window manager names a check window that names itself.
bool windowManagerRunning(Display* display) {
  const Atom check = atoms(display).netSupportingWmCheck;
  const XWindow wm = windowProperty(display, DefaultRootWindow(display), check);
  return wm != 0 && windowProperty(display, wm, check) == wm;
}

bool coversScreen(Display* display, int x, int y, int width, int height) {
  const int screen = DefaultScreen(display);
  return x <= 0 && y <= 0 && x + width >= DisplayWidth(display, screen) &&
         y + height >= DisplayHeight(display, screen);
}

void setTitle(Display* display, XWindow xid, const std::string& title) {
  XStoreName(display, xid, title.c_str());
  const Atoms& a = atoms(display);
  XChangeProperty(display, xid, a.netWmName, a.utf8String, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()),
                  static_cast<int>(title.size()));
}

void setClass(Display* display, XWindow xid, const std::string& className) {
  std::string name = className;  // XClassHint wants writable strings
  std::string cls = className;
  XClassHint hint;
  hint.res_name = name.data();
  hint.res_class = cls.data();
  XSetClassHint(display, xid, &hint);
}

// Asks a window manager for a frameless (and, when screen-sized, full-screen)
// window, and for a close request instead of a killed connection.
void setManagerHints(Display* display, XWindow xid, bool fullScreen) {
  const Atoms& a = atoms(display);
  const long motifNoDecorations[5] = {2 /* decorations field valid */, 0, 0, 0, 0};
  XChangeProperty(display, xid, a.motifWmHints, a.motifWmHints, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(motifNoDecorations), 5);
  if (fullScreen) {
    XChangeProperty(display, xid, a.netWmState, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&a.netWmStateFullscreen), 1);
  }
  Atom protocols[1] = {a.wmDeleteWindow};
  XSetWMProtocols(display, xid, protocols, 1);
}

std::string windowTitle(Display* display, XWindow window) {
  const Atoms& a = atoms(display);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  bool found = false;
  if (XGetWindowProperty(display, window, a.netWmName, 0, 1024, False, a.utf8String, &type,
                         &format, &count, &after, &data) == Success &&
      data && type == a.utf8String && format == 8) {
    title.assign(reinterpret_cast<const char*>(data), count);
    found = true;
  }
  if (data) XFree(data);
  if (found) return title;
  char* name = nullptr;
  if (XFetchName(display, window, &name) && name) {
    title = name;
    XFree(name);
  }
  return title;
}

// True when the window carries WM_CLASS (class compared without regard to
// case, like the original system's class names) and the title; null matches.
bool windowMatches(Display* display, XWindow window, const char* className, const char* title) {
  XClassHint hint = {};
  if (!XGetClassHint(display, window, &hint)) return false;
  const bool classOk = !className || (hint.res_class && strcasecmp(hint.res_class, className) == 0);
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  if (!classOk) return false;
  return !title || strcasecmp(windowTitle(display, window).c_str(), title) == 0;
}

// The client window below a window-manager frame: the descendant with WM_STATE.
XWindow clientBelow(Display* display, XWindow frame, int depth) {
  if (hasProperty(display, frame, atoms(display).wmState)) return frame;
  if (depth >= kMaxFrameDepth) return 0;
  XWindow root = 0, parent = 0;
  XWindow* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, frame, &root, &parent, &children, &count)) return 0;
  XWindow client = 0;
  for (unsigned int i = 0; i < count && client == 0; ++i) {
    client = clientBelow(display, children[i], depth + 1);
  }
  if (children) XFree(children);
  return client;
}

void routeClientMessage(Display* display, const XClientMessageEvent& event) {
  const Atoms& a = atoms(display);
  if (event.message_type == a.ceMessage && event.format == 32) {
    // 32-bit fields: the message and wParam are unsigned, lParam signed.
    postToXWindow(event.window, static_cast<uint32_t>(event.data.l[0]),
                  static_cast<uint32_t>(event.data.l[1]),
                  static_cast<intptr_t>(static_cast<int32_t>(event.data.l[2])));
  } else if (event.message_type == a.wmProtocols && event.format == 32 &&
             static_cast<Atom>(event.data.l[0]) == a.wmDeleteWindow) {
    postToXWindow(event.window, WM_CLOSE, 0, 0);
  }
}

void routeEvent(Display* display, const XEvent& event) {
  switch (event.type) {
    case Expose:
      // Only the last of a series: one paint covers the whole window.
      if (event.xexpose.count == 0) noteWindowEvent(event.xexpose.window, WindowEvent::exposed);
      break;
    case UnmapNotify:
      noteWindowEvent(event.xunmap.window, WindowEvent::unmapped);
      break;
    case ClientMessage:
      routeClientMessage(display, event.xclient);
      break;
    default:
      break;
  }
}

}  // namespace

bool x11CreateWindow(Window& window, int x, int y, int width, int height) {
  Display* display = x11Display();
  if (!display) return false;
  const bool managed = windowManagerRunning(display);
  XSetWindowAttributes attributes = {};
  attributes.background_pixmap = None;  // nothing is painted but what the program draws
  attributes.backing_store = NotUseful;
  attributes.override_redirect = managed ? False : True;
  attributes.event_mask = ExposureMask | StructureNotifyMask;
  const XWindow xid = XCreateWindow(
      display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
      CWBackPixmap | CWBackingStore | CWOverrideRedirect | CWEventMask, &attributes);
  if (xid == 0) return false;
  setClass(display, xid, window.className);
  setTitle(display, xid, window.title);
  if (managed) setManagerHints(display, xid, coversScreen(display, x, y, width, height));
  XFlush(display);
  window.xid = xid;
  return true;
}

void x11DestroyWindow(Window& window) {
  Display* display = x11Display();
  if (!display || window.xid == 0) return;
  XDestroyWindow(display, window.xid);
  XFlush(display);
}

void x11ShowWindow(Window& window, bool show) {
  Display* display = x11Display();
  if (!display) return;
  if (show) {
    window.exposed.store(false);
    XMapRaised(display, window.xid);
  } else {
    XUnmapWindow(display, window.xid);
  }
  XFlush(display);
}

void x11WaitForExposure(Window& window, uint32_t timeoutMs) {
  const uint32_t start = tickCount();
  for (;;) {
    x11PumpEvents();
    if (window.exposed.load()) return;
    const uint32_t waited = tickCount() - start;
    const int fd = x11EventFd();
    if (fd < 0 || waited >= timeoutMs) return;
    pollfd pfd = {fd, POLLIN, 0};
    poll(&pfd, 1, static_cast<int>(timeoutMs - waited));
  }
}

int x11EventFd() {
  Display* display = x11Display();
  return display ? ConnectionNumber(display) : -1;
}

void x11PumpEvents() {
  Display* display = x11Display();
  if (!display) return;
  // XPending also flushes what the program drew since the last look.
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    routeEvent(display, event);
  }
}

bool x11FindWindow(const char* className, const char* title, unsigned long& client,
                   unsigned long& frame) {
  Display* display = x11Display();
  if (!display) return false;
  XWindow root = 0, parent = 0;
  XWindow* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
    return false;
  }
  bool found = false;
  // Top of the stacking order first: the window a user would see.
  for (unsigned int i = count; i-- > 0 && !found;) {
    XWindow candidate = children[i];
    if (!windowMatches(display, candidate, className, title)) {
      candidate = clientBelow(display, children[i], 0);
      if (candidate == 0 || candidate == children[i] ||
          !windowMatches(display, candidate, className, title)) {
        continue;
      }
    }
    client = candidate;
    frame = children[i];
    found = true;
  }
  if (children) XFree(children);
  return found;
}

void x11Foreground(unsigned long client, unsigned long frame) {
  Display* display = x11Display();
  if (!display || client == 0) return;
  XRaiseWindow(display, frame != 0 ? frame : client);
  if (windowManagerRunning(display)) {
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = client;
    event.xclient.message_type = atoms(display).netActiveWindow;
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // source: a pager, which managers obey
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
  } else {
    XWindowAttributes attributes = {};
    if (XGetWindowAttributes(display, client, &attributes) && attributes.map_state == IsViewable) {
      XSetInputFocus(display, client, RevertToPointerRoot, CurrentTime);
    }
  }
  XSync(display, False);  // the caller may exit at once (a second duskcard does)
}

bool x11PostMessage(unsigned long xid, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  Display* display = x11Display();
  if (!display || xid == 0) return false;
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = xid;
  event.xclient.message_type = atoms(display).ceMessage;
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(message);
  event.xclient.data.l[1] = static_cast<long>(wParam);
  event.xclient.data.l[2] = static_cast<long>(lParam);
  // A window that is gone answers with an error, noticed only after a round
  // trip; XGetWindowAttributes makes that round trip and tells us.
  XWindowAttributes attributes = {};
  if (!XGetWindowAttributes(display, xid, &attributes)) return false;
  const bool sent = XSendEvent(display, xid, False, NoEventMask, &event) != 0;
  // A round trip, not a flush: a tool that exits right after posting closes
  // its connection, and the server may drop requests it has not read yet.
  XSync(display, False);
  return sent;
}

}  // namespace ce
