// duskcard's window over Xlib (see notice_window.h): creation with the hints
// that keep it undecorated and full-screen, a wait on the connection's
// descriptor with the caller's time-out, and the picture put on it as one
// ZPixmap XImage.
//
// Must survive client messages from anyone (only our type is taken, and its
// values are plain numbers), Expose series (one paint for the last of them),
// visuals we cannot convert to (nothing is drawn) and a dying connection.
#include "platform/notice_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/x11_top_level_internal.h"

namespace ce {

namespace {

// Where an 8-bit colour channel goes in a pixel of the visual.
struct ChannelPlace {
  int shift = 0;
  int width = 0;
};

ChannelPlace placeOf(unsigned long mask) {
  if (mask == 0) return {};
  return {std::countr_zero(mask), std::popcount(mask)};
}

unsigned long placeValue(uint32_t value8, ChannelPlace place) {
  if (place.width == 0) return 0;
  const unsigned long value = place.width >= 8 ? static_cast<unsigned long>(value8) << (place.width - 8)
                                               : value8 >> (8 - place.width);
  return value << place.shift;
}

// True when 0x00RRGGBB words are already the image's pixels, byte for byte.
bool sameLayout(const XImage& image) {
  const int hostOrder = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
  return image.bits_per_pixel == 32 && image.byte_order == hostOrder && image.red_mask == 0xFF0000 &&
         image.green_mask == 0xFF00 && image.blue_mask == 0xFF &&
         image.bytes_per_line == image.width * 4;
}

bool convert(XImage& image, const uint32_t* rgb) {
  const size_t bytes = static_cast<size_t>(image.bytes_per_line) * static_cast<size_t>(image.height);
  image.data = static_cast<char*>(std::calloc(bytes, 1));
  if (image.data == nullptr) return false;
  const ChannelPlace red = placeOf(image.red_mask), green = placeOf(image.green_mask),
                     blue = placeOf(image.blue_mask);
  for (int y = 0; y < image.height; ++y) {
    const uint32_t* line = rgb + static_cast<size_t>(y) * static_cast<size_t>(image.width);
    for (int x = 0; x < image.width; ++x) {
      const uint32_t c = line[x];
      XPutPixel(&image, x, y,
                placeValue(c >> 16 & 0xFF, red) | placeValue(c >> 8 & 0xFF, green) |
                    placeValue(c & 0xFF, blue));
    }
  }
  return true;
}

void setNames(Display* display, ::Window window, const char* className, const char* title) {
  std::string name = className, cls = className;  // XClassHint wants writable strings
  XClassHint hint = {name.data(), cls.data()};
  XSetClassHint(display, window, &hint);
  XStoreName(display, window, title);
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                  XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title), static_cast<int>(std::strlen(title)));
}

// Asks a window manager for a frameless full-screen window, and for a close
// request instead of a killed connection.
void setManagerHints(Display* display, ::Window window, Atom deleteAtom) {
  const Atom motif = XInternAtom(display, "_MOTIF_WM_HINTS", False);
  const long noDecorations[5] = {2 /* the decorations field is valid */, 0, 0, 0, 0};
  XChangeProperty(display, window, motif, motif, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(noDecorations), 5);
  const Atom fullScreen = XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False);
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM, 32,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(&fullScreen), 1);
  Atom protocols[1] = {deleteAtom};
  XSetWMProtocols(display, window, protocols, 1);
}

}  // namespace

std::unique_ptr<NoticeWindow> NoticeWindow::create(const char* className, const char* title,
                                                   std::string& failure) {
  std::unique_ptr<NoticeWindow> notice(new NoticeWindow);
  const char* displayName = std::getenv("DISPLAY");
  notice->display_ = toplevel::openDisplay(&notice->lost_);
  Display* display = notice->display_;
  if (display == nullptr) {
    failure = displayName == nullptr || *displayName == '\0'
                  ? std::string("DISPLAY is not set")
                  : std::string("cannot open the X display '") + displayName + "'";
    return nullptr;
  }
  const int screen = DefaultScreen(display);
  notice->width_ = DisplayWidth(display, screen);
  notice->height_ = DisplayHeight(display, screen);
  if (notice->width_ <= 0 || notice->height_ <= 0) {
    failure = "the X screen has no area";
    return nullptr;
  }
  notice->messageAtom_ = XInternAtom(display, toplevel::kMessageAtom, False);
  notice->protocolsAtom_ = XInternAtom(display, "WM_PROTOCOLS", False);
  notice->deleteAtom_ = XInternAtom(display, "WM_DELETE_WINDOW", False);
  const bool managed = toplevel::windowManagerRunning(display);
  XSetWindowAttributes attributes = {};
  attributes.background_pixmap = None;  // nothing is shown but what we paint
  attributes.backing_store = NotUseful;
  attributes.override_redirect = managed ? False : True;
  attributes.event_mask = ExposureMask;
  notice->window_ = XCreateWindow(
      display, RootWindow(display, screen), 0, 0, static_cast<unsigned>(notice->width_),
      static_cast<unsigned>(notice->height_), 0, CopyFromParent, InputOutput, CopyFromParent,
      CWBackPixmap | CWBackingStore | CWOverrideRedirect | CWEventMask, &attributes);
  setNames(display, notice->window_, className, title);
  if (managed) setManagerHints(display, notice->window_, notice->deleteAtom_);
  notice->gc_ = XCreateGC(display, notice->window_, 0, nullptr);
  // A refused window shows up as an error on this round trip.
  XWindowAttributes created = {};
  if (notice->window_ == 0 || notice->gc_ == nullptr ||
      !XGetWindowAttributes(display, notice->window_, &created)) {
    failure = "the X server refused the window";
    return nullptr;
  }
  return notice;
}

NoticeWindow::~NoticeWindow() {
  if (display_ == nullptr) return;
  if (gc_ != nullptr) XFreeGC(display_, gc_);
  XCloseDisplay(display_);  // the window goes with the connection
}

void NoticeWindow::show() {
  XMapRaised(display_, window_);
  toplevel::bringToForeground(display_, window_, 0);
}

bool NoticeWindow::takeEvent(NoticeWindowEvent& event) {
  while (!lost_ && XPending(display_) > 0) {
    XEvent x;
    XNextEvent(display_, &x);
    if (x.type == Expose && x.xexpose.count == 0) {
      // Only the last of a series: one paint covers the whole window.
      event = {NoticeWindowEvent::Kind::exposed};
      return true;
    }
    if (x.type != ClientMessage || x.xclient.format != 32) continue;
    if (x.xclient.message_type == messageAtom_) {
      // 32-bit fields: the message and wParam are unsigned, lParam signed.
      event = {NoticeWindowEvent::Kind::message, static_cast<uint32_t>(x.xclient.data.l[0]),
               static_cast<uint32_t>(x.xclient.data.l[1]),
               static_cast<int32_t>(static_cast<uint32_t>(x.xclient.data.l[2]))};
      return true;
    }
    if (x.xclient.message_type == protocolsAtom_ &&
        static_cast<Atom>(x.xclient.data.l[0]) == deleteAtom_) {
      event = {NoticeWindowEvent::Kind::closeRequested};
      return true;
    }
  }
  if (lost_ && !lostReported_) {
    lostReported_ = true;
    event = {NoticeWindowEvent::Kind::connectionLost};
    return true;
  }
  return false;
}

NoticeWindowEvent NoticeWindow::wait(std::chrono::milliseconds timeout) {
  NoticeWindowEvent event;
  if (takeEvent(event)) return event;
  const int ms = static_cast<int>(std::clamp<int64_t>(timeout.count(), 0, INT_MAX));
  // XPending above read everything already sent; what comes next wakes the poll.
  pollfd connection = {ConnectionNumber(display_), POLLIN, 0};
  poll(&connection, lost_ ? 0 : 1, ms);
  takeEvent(event);
  return event;
}

void NoticeWindow::paint(const uint32_t* rgb) {
  if (lost_) return;
  const int screen = DefaultScreen(display_);
  Visual* visual = DefaultVisual(display_, screen);
  const int depth = DefaultDepth(display_, screen);
  if (visual->c_class != TrueColor || (depth != 24 && depth != 32)) return;
  XImage* image = XCreateImage(display_, visual, static_cast<unsigned>(depth), ZPixmap, 0, nullptr,
                               static_cast<unsigned>(width_), static_cast<unsigned>(height_), 32, 0);
  if (image == nullptr) return;
  // The caller's pixels serve as they are where the layouts agree.
  const bool borrowed = sameLayout(*image);
  if (borrowed) image->data = const_cast<char*>(reinterpret_cast<const char*>(rgb));
  if (borrowed || convert(*image, rgb)) {
    XPutImage(display_, window_, gc_, image, 0, 0, 0, 0, static_cast<unsigned>(width_),
              static_cast<unsigned>(height_));
    XFlush(display_);
  }
  if (borrowed) image->data = nullptr;
  XDestroyImage(image);  // frees a converted copy too
}

}  // namespace ce
