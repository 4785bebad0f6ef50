// Finding a top-level client window by class and title, and posting to it or
// bringing it forward (see window_post.h). Each call opens a connection of
// its own and closes it again, so that a tool that exits next loses nothing.
//
// Must survive windows of other processes vanishing while the tree is walked
// (errors are ignored, every reply is checked) and window managers that wrap
// clients in frames (the client below a frame is the one with WM_STATE).
#include "platform/window_post.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <strings.h>

#include <string>

#include "platform/x11_top_level_internal.h"

namespace ce {

namespace {

// How deep below a root child (a window-manager frame) a client may sit.
constexpr int kMaxFrameDepth = 4;

struct Found {
  ::Window client = 0;  // the window that carries the class and title
  ::Window frame = 0;   // the root child holding it (the client itself without a manager)
};

bool hasProperty(Display* display, ::Window window, Atom property) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  const bool found = XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType,
                                        &type, &format, &count, &after, &data) == Success &&
                     type != None;
  if (data != nullptr) XFree(data);
  return found;
}

// _NET_WM_NAME (UTF-8) when set, else WM_NAME.
std::string windowTitle(Display* display, ::Window window) {
  const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, netWmName, 0, 1024, False, utf8, &type, &format, &count,
                         &after, &data) == Success &&
      data != nullptr && type == utf8 && format == 8) {
    std::string title(reinterpret_cast<const char*>(data), count);
    XFree(data);
    return title;
  }
  if (data != nullptr) XFree(data);
  std::string title;
  char* name = nullptr;
  if (XFetchName(display, window, &name) && name != nullptr) {
    title = name;
    XFree(name);
  }
  return title;
}

// Class (WM_CLASS's class part) and title both compare without regard to case.
bool windowMatches(Display* display, ::Window window, const char* className, const char* title) {
  XClassHint hint = {};
  if (!XGetClassHint(display, window, &hint)) return false;
  const bool classOk = hint.res_class != nullptr && strcasecmp(hint.res_class, className) == 0;
  if (hint.res_name != nullptr) XFree(hint.res_name);
  if (hint.res_class != nullptr) XFree(hint.res_class);
  return classOk && strcasecmp(windowTitle(display, window).c_str(), title) == 0;
}

// The client window below a window-manager frame: the descendant with WM_STATE.
::Window clientBelow(Display* display, ::Window frame, Atom wmState, int depth) {
  if (hasProperty(display, frame, wmState)) return frame;
  if (depth >= kMaxFrameDepth) return 0;
  ::Window root = 0, parent = 0;
  ::Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, frame, &root, &parent, &children, &count)) return 0;
  ::Window client = 0;
  for (unsigned int i = 0; i < count && client == 0; ++i) {
    client = clientBelow(display, children[i], wmState, depth + 1);
  }
  if (children != nullptr) XFree(children);
  return client;
}

Found findTopLevel(Display* display, const char* className, const char* title) {
  Found found;
  ::Window root = 0, parent = 0;
  ::Window* children = nullptr;
  unsigned int count = 0;
  if (className == nullptr || title == nullptr ||
      !XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
    return found;
  }
  const Atom wmState = XInternAtom(display, "WM_STATE", False);
  // Top of the stacking order first: the window a user would see.
  for (unsigned int i = count; i-- > 0 && found.client == 0;) {
    ::Window candidate = children[i];
    if (!windowMatches(display, candidate, className, title)) {
      candidate = clientBelow(display, children[i], wmState, 0);
      if (candidate == 0 || candidate == children[i] ||
          !windowMatches(display, candidate, className, title)) {
        continue;
      }
    }
    found = {candidate, children[i]};
  }
  if (children != nullptr) XFree(children);
  return found;
}

bool sendWindowMessage(Display* display, ::Window window, uint32_t message, uintptr_t wParam,
                       intptr_t lParam) {
  // A window that is gone answers only with an error; this round trip tells.
  XWindowAttributes attributes = {};
  if (!XGetWindowAttributes(display, window, &attributes)) return false;
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, toplevel::kMessageAtom, False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(message);
  event.xclient.data.l[1] = static_cast<long>(wParam);
  event.xclient.data.l[2] = static_cast<long>(lParam);
  const bool sent = XSendEvent(display, window, False, NoEventMask, &event) != 0;
  // A round trip, not a flush: the server may drop what it has not read when
  // the connection closes.
  XSync(display, False);
  return sent;
}

}  // namespace

bool postWindowMessage(const char* className, const char* title, uint32_t message,
                       uintptr_t wParam, intptr_t lParam) {
  Display* display = toplevel::openDisplay(nullptr);
  if (display == nullptr) return false;
  const Found found = findTopLevel(display, className, title);
  const bool posted =
      found.client != 0 && sendWindowMessage(display, found.client, message, wParam, lParam);
  XCloseDisplay(display);
  return posted;
}

bool bringWindowToForeground(const char* className, const char* title) {
  Display* display = toplevel::openDisplay(nullptr);
  if (display == nullptr) return false;
  const Found found = findTopLevel(display, className, title);
  toplevel::bringToForeground(display, found.client, found.frame);
  XCloseDisplay(display);
  return found.client != 0;
}

}  // namespace ce
