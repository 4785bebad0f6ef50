// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Top-level X11 windows. Survives windows vanishing mid-walk (errors ignored,
// every reply checked), window-manager frames, client messages from anyone (only
// our type is taken), Expose series (one paint for the last), a dying connection.
#include "platform/x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <vector>

#include "platform/log.h"
#include "platform/xlib_internal.h"

namespace shub::os {
namespace {

// Format 32: data.l[0] the message number, data.l[1] and data.l[2] its unsigned and signed arguments.
constexpr char kMessageAtom[] = "_CE_WINDOW_MESSAGE";

constexpr XlibApi kLinkedXlib = {XInitThreads, XSetErrorHandler, XSetIOErrorHandler, XSetIOErrorExitHandler,
                                 XOpenDisplay};

// Format-32 items come back as longs, as Xlib hands them out.
std::optional<std::string> readProperty(Display* display, ::Window window, const char* name, Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<std::string> value;
  if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 1024, False, type, &actual,
                         &format, &count, &after, &data) == Success &&
      data != nullptr && (type == AnyPropertyType || actual == type)) {
    value.emplace(reinterpret_cast<const char*>(data), count * (format == 32 ? sizeof(long) : format / 8));
  }
  if (data != nullptr) XFree(data);
  return value;
}

// A compliant window manager names a check window that names itself.
bool windowManagerRunning(Display* display) {
  auto checkWindow = [display](::Window window) {
    const std::optional<std::string> value = readProperty(display, window, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    ::Window id = 0;
    if (value && value->size() == sizeof id) std::memcpy(&id, value->data(), sizeof id);
    return id;
  };
  const ::Window manager = checkWindow(DefaultRootWindow(display));
  return manager != 0 && checkWindow(manager) == manager;
}

std::vector<::Window> childrenOf(Display* display, ::Window window) {
  ::Window root = 0, parent = 0, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, window, &root, &parent, &children, &count) || children == nullptr) return {};
  std::vector<::Window> list(children, children + count);
  XFree(children);
  return list;
}

bool windowMatches(Display* display, ::Window window, const char* className, const char* title) {
  const std::optional<std::string> names = readProperty(display, window, "WM_CLASS", XA_STRING);  // name, class
  const size_t split = names ? names->find('\0') : std::string::npos;
  if (split == std::string::npos || strcasecmp(names->c_str() + split + 1, className) != 0) return false;
  std::optional<std::string> name =
      readProperty(display, window, "_NET_WM_NAME", XInternAtom(display, "UTF8_STRING", False));
  if (!name) name = readProperty(display, window, "WM_NAME", AnyPropertyType);
  return name && strcasecmp(name->c_str(), title) == 0;
}

// The matching client at or below `window`: the top-level itself, or one carrying
// WM_STATE inside a window manager's frame.
::Window clientIn(Display* display, ::Window window, int depth, const char* className, const char* title) {
  if ((depth == 0 || readProperty(display, window, "WM_STATE", AnyPropertyType)) &&
      windowMatches(display, window, className, title)) {
    return window;
  }
  if (depth == 4) return 0;
  for (const ::Window child : childrenOf(display, window)) {
    if (const ::Window client = clientIn(display, child, depth + 1, className, title)) return client;
  }
  return 0;
}

struct Found {
  ::Window client = 0;  // the window that carries the class and title
  ::Window frame = 0;   // the root child holding it (the client itself without a manager)
};

Found findTopLevel(Display* display, const char* className, const char* title) {
  if (className == nullptr || title == nullptr) return {};
  const std::vector<::Window> top = childrenOf(display, DefaultRootWindow(display));
  for (auto window = top.rbegin(); window != top.rend(); ++window) {  // the one a user would see first
    if (const ::Window client = clientIn(display, *window, 0, className, title)) return {client, *window};
  }
  return {};
}

bool sendClientMessage(Display* display, ::Window to, ::Window about, const char* type, long mask,
                       std::initializer_list<long> data) {
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = about;
  event.xclient.message_type = XInternAtom(display, type, False);
  event.xclient.format = 32;
  std::copy(data.begin(), data.end(), event.xclient.data.l);
  return XSendEvent(display, to, False, mask, &event) != 0;
}

// Raises `frame` (the client itself when 0) and asks the window manager, if
// one is `managed` the screen, to activate `client`. The notice takes no
// input, so no focus is set.
void bringToForeground(Display* display, ::Window client, ::Window frame, bool managed) {
  if (client == 0) return;
  XRaiseWindow(display, frame != 0 ? frame : client);
  if (!managed) return;
  sendClientMessage(display, DefaultRootWindow(display), client, "_NET_ACTIVE_WINDOW",
                    SubstructureRedirectMask | SubstructureNotifyMask, {2 /* from a pager: obeyed */, CurrentTime});
}

unsigned long channel(uint32_t value, unsigned long mask) {
  return mask == 0 ? 0 : static_cast<unsigned long>(value) << std::countr_zero(mask) & mask;
}

// The picture goes out in bands of this many rows: the band's memory stays
// small and warm, and the server draws one band while the next is converted.
constexpr int kBandRows = 32;

// The usual 32-bit pixel is 0x00RRGGBB in the host's byte order, as picture
// rows come: those are written into the image in place. Other layouts go
// through a row of our own and are put pixel by pixel.
bool hostLayout(const XImage& image) {
  constexpr int hostOrder = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
  return image.bits_per_pixel == 32 && image.byte_order == hostOrder && image.red_mask == 0xFF0000 &&
         image.green_mask == 0xFF00 && image.blue_mask == 0xFF;
}

// Colours (0x00RRGGBB) into row `row` of `image`, in whatever layout it has.
void putPixels(XImage& image, int row, std::span<const uint32_t> colours) {
  for (size_t x = 0; x < colours.size(); ++x) {
    const uint32_t rgb = colours[x];
    XPutPixel(&image, static_cast<int>(x), row,
              channel(rgb >> 16 & 0xFF, image.red_mask) | channel(rgb >> 8 & 0xFF, image.green_mask) |
                  channel(rgb & 0xFF, image.blue_mask));
  }
}

// A connection of its own, closed at once: a tool that exits next loses nothing.
template <typename Act>
bool withTopLevel(const char* className, const char* title, Act act) {
  std::atomic<bool> lost{false};
  Display* display = openXConnection(kLinkedXlib, nullptr, &lost);
  if (display == nullptr) return false;
  const bool done = act(display, findTopLevel(display, className, title));
  // A round trip, not a flush: the server drops what is unread at the close.
  XSync(display, False);
  XCloseDisplay(display);
  return done;
}

}  // namespace

bool postWindowMessage(const char* className, const char* title, uint32_t number, uint32_t unsignedArgument,
                       int32_t signedArgument) {
  return withTopLevel(className, title, [&](Display* display, Found found) {
    // A window that is gone answers only with an error; this round trip tells.
    XWindowAttributes attributes = {};
    return found.client != 0 && XGetWindowAttributes(display, found.client, &attributes) &&
           sendClientMessage(display, found.client, found.client, kMessageAtom, NoEventMask,
                             {long{number}, long{unsignedArgument}, long{signedArgument}});
  });
}

void bringWindowToForeground(const char* className, const char* title) {
  withTopLevel(className, title, [](Display* display, Found found) {
    bringToForeground(display, found.client, found.frame, windowManagerRunning(display));
    return true;
  });
}

std::unique_ptr<NoticeWindow> NoticeWindow::create(const char* className, const char* title, std::string* why) {
  std::unique_ptr<NoticeWindow> notice(new NoticeWindow);
  Display* display = notice->display_ = openXConnection(kLinkedXlib, nullptr, &notice->lost_);
  if (display == nullptr) {
    const char* name = std::getenv("DISPLAY");
    *why = name == nullptr || *name == '\0' ? std::string("DISPLAY is not set")
                                            : std::string("cannot open the X display '") + name + "'";
    return nullptr;
  }
  const int screen = DefaultScreen(display);
  notice->width_ = DisplayWidth(display, screen);
  notice->height_ = DisplayHeight(display, screen);
  // Every name the window uses, in one round trip rather than one each; the
  // look-ups by name below are then answered from Xlib's cache.
  const char* names[] = {kMessageAtom,   "WM_PROTOCOLS",  "WM_DELETE_WINDOW",         "_NET_SUPPORTING_WM_CHECK",
                         "_NET_WM_NAME", "UTF8_STRING",   "_NET_WM_STATE_FULLSCREEN", "_NET_WM_STATE",
                         "_NET_ACTIVE_WINDOW"};
  Atom atoms[std::size(names)] = {};
  XInternAtoms(display, const_cast<char**>(names), static_cast<int>(std::size(names)), False, atoms);
  notice->messageAtom_ = atoms[0];
  notice->protocolsAtom_ = atoms[1];
  notice->deleteAtom_ = atoms[2];
  const bool managed = windowManagerRunning(display);
  XSetWindowAttributes attributes = {};
  attributes.background_pixmap = None;  // nothing is shown but what we paint
  attributes.backing_store = NotUseful;
  attributes.override_redirect = managed ? False : True;
  attributes.event_mask = ExposureMask;
  const ::Window window = notice->window_ = XCreateWindow(
      display, RootWindow(display, screen), 0, 0, static_cast<unsigned>(notice->width_),
      static_cast<unsigned>(notice->height_), 0, CopyFromParent, InputOutput, CopyFromParent,
      CWBackPixmap | CWBackingStore | CWOverrideRedirect | CWEventMask, &attributes);
  XClassHint hint = {const_cast<char*>(className), const_cast<char*>(className)};  // only read
  XSetClassHint(display, window, &hint);
  XStoreName(display, window, title);
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                  XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title), static_cast<int>(std::strlen(title)));
  if (managed) {  // full screen, hence frameless; a close request rather than a killed connection
    const Atom fullScreen = XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False);
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&fullScreen), 1);
    XSetWMProtocols(display, window, &notice->deleteAtom_, 1);
  }
  // A refused window shows up as an error on this round trip.
  XWindowAttributes created = {};
  if (window == 0 || !XGetWindowAttributes(display, window, &created)) {
    *why = "the X server refused the window";
    return nullptr;
  }
  XMapRaised(display, window);
  bringToForeground(display, window, 0, managed);
  return notice;
}

NoticeWindow::~NoticeWindow() {
  if (display_ != nullptr) XCloseDisplay(display_);  // the window goes with the connection
}

NoticeWindowEvent NoticeWindow::wait(std::chrono::milliseconds timeout) {
  using Kind = NoticeWindowEvent::Kind;
  for (bool polled = false;; polled = true) {
    while (!lost_ && XPending(display_) > 0) {
      XEvent x;
      XNextEvent(display_, &x);
      const XClientMessageEvent& m = x.xclient;
      if (x.type == Expose && x.xexpose.count == 0) return {Kind::exposed};  // the last of a series
      if (x.type != ClientMessage || m.format != 32) continue;
      if (m.message_type == messageAtom_) return {Kind::message, static_cast<uint32_t>(m.data.l[0])};
      if (m.message_type == protocolsAtom_ && static_cast<Atom>(m.data.l[0]) == deleteAtom_) {
        return {Kind::closeRequested};
      }
    }
    if (lost_ && lostSaid_.allow()) logWarning("X display %s: connection lost", DisplayString(display_));
    if (polled) return {};
    // XPending above read everything already sent; what comes next wakes the poll.
    pollfd connection = {ConnectionNumber(display_), POLLIN, 0};
    poll(&connection, lost_ ? 0 : 1, static_cast<int>(std::clamp<int64_t>(timeout.count(), 0, INT_MAX)));
  }
}

void NoticeWindow::paint(const RowSource& fillRow) {
  putPicture(fillRow);
  if (arrowSet_ || lost_) return;
  // The standard arrow rather than the root window's cursor. Set after the
  // first picture: the cursor theme it is loaded from takes longer to read
  // than the picture takes to draw.
  const Cursor arrow = XCreateFontCursor(display_, XC_left_ptr);
  XDefineCursor(display_, window_, arrow);
  XFreeCursor(display_, arrow);  // the window holds it for as long as it needs it
  XFlush(display_);
  arrowSet_ = true;
}

void NoticeWindow::putPicture(const RowSource& fillRow) {
  const int screen = DefaultScreen(display_);
  Visual* visual = DefaultVisual(display_, screen);
  const int depth = DefaultDepth(display_, screen);
  if (lost_ || visual->c_class != TrueColor || (depth != 24 && depth != 32)) return;
  const int bandRows = std::min(kBandRows, height_);
  XImage* band = XCreateImage(display_, visual, static_cast<unsigned>(depth), ZPixmap, 0, nullptr,
                              static_cast<unsigned>(width_), static_cast<unsigned>(bandRows), 32, 0);
  if (band == nullptr) return;
  const auto rowBytes = static_cast<size_t>(band->bytes_per_line);
  band->data = static_cast<char*>(std::malloc(rowBytes * bandRows));
  const bool inPlace = hostLayout(*band);
  std::vector<uint32_t> converted(inPlace ? 0 : static_cast<size_t>(width_));
  for (int top = 0; band->data != nullptr && top < height_; top += bandRows) {
    const int count = std::min(bandRows, height_ - top);
    for (int row = 0; row < count; ++row) {
      const std::span<uint32_t> colours =
          inPlace ? std::span(reinterpret_cast<uint32_t*>(band->data + rowBytes * row), static_cast<size_t>(width_))
                  : std::span(converted);
      std::fill(colours.begin(), colours.end(), 0);
      fillRow(top + row, colours);
      if (!inPlace) putPixels(*band, row, colours);
    }
    XPutImage(display_, window_, DefaultGC(display_, screen), band, 0, 0, 0, top, static_cast<unsigned>(width_),
              static_cast<unsigned>(count));
  }
  XFlush(display_);
  XDestroyImage(band);  // frees the pixels too
}

}  // namespace shub::os
