// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// duskcard's notice window (finding other windows is x11_top_level.cpp's).
// Survives client messages from anyone (only our type is taken), Expose series
// (one paint for the last), a dying connection.
#include "platform/x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <poll.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/log.h"
#include "platform/xlib_internal.h"

namespace shub::os {
namespace {

constexpr XlibApi kLinkedXlib = {XInitThreads, XSetErrorHandler, XSetIOErrorHandler, XSetIOErrorExitHandler,
                                 XOpenDisplay};
constexpr WindowXlib kLinkedWindowXlib = {kLinkedXlib, XCloseDisplay,      XSync,      XFree,
                                          XInternAtom, XGetWindowProperty, XQueryTree, XGetWindowAttributes,
                                          XSendEvent,  XRaiseWindow};

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

}  // namespace

std::unique_ptr<NoticeWindow> createX11NoticeWindow(const char* className, const char* title, std::string* why) {
  return X11NoticeWindow::create(className, title, why);
}

std::unique_ptr<X11NoticeWindow> X11NoticeWindow::create(const char* className, const char* title, std::string* why) {
  std::unique_ptr<X11NoticeWindow> notice(new X11NoticeWindow);
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
  const char* names[] = {kWindowMessageAtom,   "WM_PROTOCOLS",  "WM_DELETE_WINDOW",         "_NET_SUPPORTING_WM_CHECK",
                         "_NET_WM_NAME", "UTF8_STRING",   "_NET_WM_STATE_FULLSCREEN", "_NET_WM_STATE",
                         "_NET_ACTIVE_WINDOW"};
  Atom atoms[std::size(names)] = {};
  XInternAtoms(display, const_cast<char**>(names), static_cast<int>(std::size(names)), False, atoms);
  notice->messageAtom_ = atoms[0];
  notice->protocolsAtom_ = atoms[1];
  notice->deleteAtom_ = atoms[2];
  const bool managed = windowManagerRunning(kLinkedWindowXlib, display);
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
  bringToForeground(kLinkedWindowXlib, display, window, 0, managed);
  return notice;
}

X11NoticeWindow::~X11NoticeWindow() {
  if (display_ != nullptr) XCloseDisplay(display_);  // the window goes with the connection
}

NoticeWindowEvent X11NoticeWindow::wait(std::chrono::milliseconds timeout) {
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

void X11NoticeWindow::paint(const RowSource& fillRow) {
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

void X11NoticeWindow::putPicture(const RowSource& fillRow) {
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
