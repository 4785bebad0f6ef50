// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Watching duskcard on a private X server (see x11_harness.h).
#include "tests/integration/x11_harness.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xfixes.h>

#include <bit>

namespace sleepscreen_test {

namespace {

int channelShift(unsigned long mask) { return mask ? std::countr_zero(mask) : 0; }

}  // namespace

std::vector<uint32_t> readScreen(const std::string& display, int width, int height) {
  Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return {};
  std::vector<uint32_t> pixels;
  XImage* image = XGetImage(connection, DefaultRootWindow(connection), 0, 0, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (image != nullptr) {
    pixels.reserve(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        unsigned long p = XGetPixel(image, x, y);
        auto channel = [&](unsigned long mask) {
          return static_cast<uint32_t>((p & mask) >> channelShift(mask));
        };
        pixels.push_back(channel(image->red_mask) << 16 | channel(image->green_mask) << 8 |
                         channel(image->blue_mask));
      }
    }
    XDestroyImage(image);
  }
  XCloseDisplay(connection);
  return pixels;
}

namespace {

bool hasClass(Display* connection, ::Window window, const std::string& className) {
  XClassHint hint{};
  if (XGetClassHint(connection, window, &hint) == 0) return false;
  bool match = (hint.res_class && className == hint.res_class) || (hint.res_name && className == hint.res_name);
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  return match;
}

::Window search(Display* connection, ::Window parent, const std::string& className, int depth) {
  ::Window root = 0, up = 0, found = 0;
  ::Window* children = nullptr;
  unsigned count = 0;
  if (depth > 3 || XQueryTree(connection, parent, &root, &up, &children, &count) == 0) return 0;
  for (unsigned i = 0; i < count && found == 0; ++i) {
    if (hasClass(connection, children[i], className)) found = children[i];
    else found = search(connection, children[i], className, depth + 1);
  }
  if (children) XFree(children);
  return found;
}

}  // namespace

std::optional<Geometry> findTopLevel(const std::string& display, const std::string& className) {
  Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return std::nullopt;
  std::optional<Geometry> result;
  ::Window root = DefaultRootWindow(connection);
  ::Window window = search(connection, root, className, 0);
  XWindowAttributes attributes{};
  if (window != 0 && XGetWindowAttributes(connection, window, &attributes) != 0 &&
      attributes.map_state == IsViewable) {
    int x = 0, y = 0;
    ::Window child = 0;
    XTranslateCoordinates(connection, window, root, 0, 0, &x, &y, &child);
    result = Geometry{x, y, attributes.width, attributes.height};
  }
  XCloseDisplay(connection);
  return result;
}

namespace {

std::vector<uint32_t> cursorOf(Display* connection) {
  int event = 0, error = 0;
  if (!XFixesQueryExtension(connection, &event, &error)) return {};
  XFixesCursorImage* image = XFixesGetCursorImage(connection);
  if (image == nullptr) return {};
  std::vector<uint32_t> cursor = {image->width, image->height, image->xhot, image->yhot};
  for (size_t i = 0; i < size_t{image->width} * image->height; ++i) {
    cursor.push_back(static_cast<uint32_t>(image->pixels[i]));  // ARGB, in a long
  }
  XFree(image);
  return cursor;
}

}  // namespace

std::vector<uint32_t> cursorShown(const std::string& display) {
  Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return {};
  std::vector<uint32_t> cursor = cursorOf(connection);
  XCloseDisplay(connection);
  return cursor;
}

std::vector<uint32_t> standardArrow(const std::string& display) {
  Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return {};
  const Cursor arrow = XCreateFontCursor(connection, XC_left_ptr);
  XDefineCursor(connection, DefaultRootWindow(connection), arrow);
  XSync(connection, False);
  std::vector<uint32_t> cursor = cursorOf(connection);
  XUndefineCursor(connection, DefaultRootWindow(connection));
  XFreeCursor(connection, arrow);
  XCloseDisplay(connection);
  return cursor;
}

}  // namespace sleepscreen_test
