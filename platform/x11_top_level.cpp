// Connections and foreground requests for top-level X11 windows (see
// x11_top_level_internal.h).
//
// Must survive the server going away (Xlib would end the process; we note it
// and carry on) and a window manager that is there or not.
#include <X11/Xatom.h>
#include <fcntl.h>

#include "platform/x11_display.h"
#include "platform/x11_top_level_internal.h"

namespace ce::toplevel {

namespace {

void noteConnectionLost(Display*, void* lost) {
  if (lost != nullptr) *static_cast<bool*>(lost) = true;
}

// One 32-bit property holding a single window id; 0 when absent or malformed.
::Window windowProperty(Display* display, ::Window window, Atom property) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  ::Window value = 0;
  if (XGetWindowProperty(display, window, property, 0, 1, False, XA_WINDOW, &type, &format, &count,
                         &after, &data) == Success &&
      data != nullptr && type == XA_WINDOW && format == 32 && count == 1) {
    value = reinterpret_cast<unsigned long*>(data)[0];
  }
  if (data != nullptr) XFree(data);
  return value;
}

}  // namespace

Display* openDisplay(bool* lost) {
  prepareXlib();
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
  XSetIOErrorExitHandler(display, noteConnectionLost, lost);
  return display;
}

bool windowManagerRunning(Display* display) {
  const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  const ::Window manager = windowProperty(display, DefaultRootWindow(display), check);
  return manager != 0 && windowProperty(display, manager, check) == manager;
}

void bringToForeground(Display* display, ::Window client, ::Window frame) {
  if (client == 0) return;
  XRaiseWindow(display, frame != 0 ? frame : client);
  if (windowManagerRunning(display)) {
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = client;
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
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
  XSync(display, False);
}

}  // namespace ce::toplevel
