// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Top-level X11 windows found by class and title (case-blind, through
// window-manager frames), raised or sent a window message. Written against a
// table of Xlib functions: duskcard passes its linked ones, and crtctl maps
// libX11 only when it posts, so that it runs on images without X. Survives
// windows vanishing mid-walk (errors ignored, every reply checked).
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/shared_library_internal.h"
#include "platform/x11_window.h"
#include "platform/xlib_internal.h"

namespace shub::os {
namespace {

const WindowXlib* loadWindowXlib() {
  return detail::loadLibraryApi<WindowXlib>("libX11.so.6", [](void* library, WindowXlib& api) {
    return detail::resolveSymbols(
        library,
        {"XInitThreads", "XSetErrorHandler", "XSetIOErrorHandler", "XSetIOErrorExitHandler", "XOpenDisplay",
         "XCloseDisplay", "XSync", "XFree", "XInternAtom", "XGetWindowProperty", "XQueryTree", "XGetWindowAttributes",
         "XSendEvent", "XRaiseWindow"},
        api.open.initThreads, api.open.setErrorHandler, api.open.setIOErrorHandler, api.open.setIOErrorExitHandler,
        api.open.openDisplay, api.closeDisplay, api.sync, api.free, api.internAtom, api.getWindowProperty,
        api.queryTree, api.getWindowAttributes, api.sendEvent, api.raiseWindow);
  });
}

// Format-32 items come back as longs, as Xlib hands them out.
std::optional<std::string> readProperty(const WindowXlib& x, Display* display, ::Window window, const char* name,
                                        Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<std::string> value;
  if (x.getWindowProperty(display, window, x.internAtom(display, name, False), 0, 1024, False, type, &actual,
                          &format, &count, &after, &data) == Success &&
      data != nullptr && (type == AnyPropertyType || actual == type)) {
    value.emplace(reinterpret_cast<const char*>(data), count * (format == 32 ? sizeof(long) : format / 8));
  }
  if (data != nullptr) x.free(data);
  return value;
}

std::vector<::Window> childrenOf(const WindowXlib& x, Display* display, ::Window window) {
  ::Window root = 0, parent = 0, *children = nullptr;
  unsigned int count = 0;
  if (!x.queryTree(display, window, &root, &parent, &children, &count) || children == nullptr) return {};
  std::vector<::Window> list(children, children + count);
  x.free(children);
  return list;
}

bool windowMatches(const WindowXlib& x, Display* display, ::Window window, const char* className, const char* title) {
  const std::optional<std::string> names = readProperty(x, display, window, "WM_CLASS", XA_STRING);  // name, class
  const size_t split = names ? names->find('\0') : std::string::npos;
  if (split == std::string::npos || strcasecmp(names->c_str() + split + 1, className) != 0) return false;
  std::optional<std::string> name =
      readProperty(x, display, window, "_NET_WM_NAME", x.internAtom(display, "UTF8_STRING", False));
  if (!name) name = readProperty(x, display, window, "WM_NAME", AnyPropertyType);
  return name && strcasecmp(name->c_str(), title) == 0;
}

// The matching client at or below `window`: the top-level itself, or one carrying
// WM_STATE inside a window manager's frame.
::Window clientIn(const WindowXlib& x, Display* display, ::Window window, int depth, const char* className,
                  const char* title) {
  if ((depth == 0 || readProperty(x, display, window, "WM_STATE", AnyPropertyType)) &&
      windowMatches(x, display, window, className, title)) {
    return window;
  }
  if (depth == 4) return 0;
  for (const ::Window child : childrenOf(x, display, window)) {
    if (const ::Window client = clientIn(x, display, child, depth + 1, className, title)) return client;
  }
  return 0;
}

struct Found {
  ::Window client = 0;  // the window that carries the class and title
  ::Window frame = 0;   // the root child holding it (the client itself without a manager)
};

Found findTopLevel(const WindowXlib& x, Display* display, const char* className, const char* title) {
  if (className == nullptr || title == nullptr) return {};
  const std::vector<::Window> top = childrenOf(x, display, DefaultRootWindow(display));
  for (auto window = top.rbegin(); window != top.rend(); ++window) {  // the one a user would see first
    if (const ::Window client = clientIn(x, display, *window, 0, className, title)) return {client, *window};
  }
  return {};
}

bool sendClientMessage(const WindowXlib& x, Display* display, ::Window to, ::Window about, const char* type,
                       long mask, std::initializer_list<long> data) {
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = about;
  event.xclient.message_type = x.internAtom(display, type, False);
  event.xclient.format = 32;
  std::copy(data.begin(), data.end(), event.xclient.data.l);
  return x.sendEvent(display, to, False, mask, &event) != 0;
}

// A connection of its own, closed at once: a tool that exits next loses
// nothing. Without libX11 `*why` says so.
template <typename Act>
bool withTopLevel(const char* className, const char* title, std::string* why, Act act) {
  const WindowXlib* x = loadWindowXlib();
  if (x == nullptr) {
    const char* error = ::dlerror();
    if (why != nullptr) *why = std::string("libX11 cannot be loaded: ") + (error != nullptr ? error : "libX11.so.6");
    return false;
  }
  std::atomic<bool> lost{false};
  Display* display = openXConnection(x->open, nullptr, &lost);
  if (display == nullptr) return false;
  const bool done = act(*x, display, findTopLevel(*x, display, className, title));
  // A round trip, not a flush: the server drops what is unread at the close.
  x->sync(display, False);
  x->closeDisplay(display);
  return done;
}

}  // namespace

bool windowManagerRunning(const WindowXlib& x, Display* display) {
  auto checkWindow = [&x, display](::Window window) {
    const std::optional<std::string> value = readProperty(x, display, window, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    ::Window id = 0;
    if (value && value->size() == sizeof id) std::memcpy(&id, value->data(), sizeof id);
    return id;
  };
  const ::Window manager = checkWindow(DefaultRootWindow(display));
  return manager != 0 && checkWindow(manager) == manager;
}

// The notice takes no input, so no focus is set.
void bringToForeground(const WindowXlib& x, Display* display, ::Window client, ::Window frame, bool managed) {
  if (client == 0) return;
  x.raiseWindow(display, frame != 0 ? frame : client);
  if (!managed) return;
  sendClientMessage(x, display, DefaultRootWindow(display), client, "_NET_ACTIVE_WINDOW",
                    SubstructureRedirectMask | SubstructureNotifyMask, {2 /* from a pager: obeyed */, CurrentTime});
}

bool postWindowMessage(const char* className, const char* title, uint32_t number, uint32_t unsignedArgument,
                       int32_t signedArgument, std::string* why) {
  return withTopLevel(className, title, why, [&](const WindowXlib& x, Display* display, Found found) {
    // A window that is gone answers only with an error; this round trip tells.
    XWindowAttributes attributes = {};
    return found.client != 0 && x.getWindowAttributes(display, found.client, &attributes) &&
           sendClientMessage(x, display, found.client, found.client, kWindowMessageAtom, NoEventMask,
                             {static_cast<long>(number), static_cast<long>(unsignedArgument), long{signedArgument}});
  });
}

void bringWindowToForeground(const char* className, const char* title) {
  withTopLevel(className, title, nullptr, [](const WindowXlib& x, Display* display, Found found) {
    bringToForeground(x, display, found.client, found.frame, windowManagerRunning(x, display));
    return true;
  });
}

}  // namespace shub::os
