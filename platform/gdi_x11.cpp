// The X11 half of the drawing contexts: a copy turns the bitmap's pixels into
// the visual's XImage format band by band, so a copy of any size needs only a
// bounded buffer, and puts each band on the window.
//
// Must survive a window that vanished or a lost connection (nothing drawn,
// false returned) and visuals we cannot convert to (only TrueColor and
// DirectColor are drawn on).
#include "platform/gdi_x11.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "platform/dib.h"
#include "platform/x11_display.h"

namespace ce {

namespace {

constexpr int kBandRows = 64;

struct Target {
  Display* display = nullptr;
  ::Window drawable = 0;
  Visual* visual = nullptr;
  int depth = 0;
};

// One colour channel of the visual: where an 8-bit value goes in a pixel.
struct ChannelPlace {
  int shift = 0;
  int width = 0;
};

struct TargetFormat {
  ChannelPlace red, green, blue;
};

bool targetOf(Window* window, Target& target) {
  target.display = x11Display();
  if (target.display == nullptr) return false;
  target.drawable = x11WindowId(window);
  target.visual = x11Visual();
  target.depth = x11Depth();
  return target.drawable != 0 && target.visual != nullptr;
}

ChannelPlace placeOf(unsigned long mask) {
  if (mask == 0) return {};
  return {std::countr_zero(mask), std::popcount(mask)};
}

bool formatOf(const Target& target, TargetFormat& format) {
  const Visual* visual = target.visual;
  if (visual->c_class != TrueColor && visual->c_class != DirectColor) return false;
  format = {placeOf(visual->red_mask), placeOf(visual->green_mask), placeOf(visual->blue_mask)};
  return true;
}

unsigned long placeValue(uint32_t value8, ChannelPlace place) {
  if (place.width == 0) return 0;
  unsigned long value = place.width >= 8 ? static_cast<unsigned long>(value8) << (place.width - 8)
                                         : value8 >> (8 - place.width);
  return value << place.shift;
}

unsigned long pixelOf(uint32_t rgb, const TargetFormat& format) {
  return placeValue(rgb >> 16 & 0xFF, format.red) | placeValue(rgb >> 8 & 0xFF, format.green) |
         placeValue(rgb & 0xFF, format.blue);
}

// Puts one band of `rgb` (width x rows, 0x00RRGGBB) at (x, y) of the target.
bool putBand(const Target& target, const TargetFormat& format, GC gc, int x, int y, int width,
             int rows, const uint32_t* rgb) {
  XImage* image = XCreateImage(target.display, target.visual, static_cast<unsigned>(target.depth),
                               ZPixmap, 0, nullptr, static_cast<unsigned>(width),
                               static_cast<unsigned>(rows), 32, 0);
  if (image == nullptr) return false;
  image->data = static_cast<char*>(std::malloc(static_cast<size_t>(image->bytes_per_line) * rows));
  if (image->data == nullptr) {
    XDestroyImage(image);
    return false;
  }
  for (int row = 0; row < rows; ++row) {
    const uint32_t* line = rgb + static_cast<size_t>(row) * width;
    for (int column = 0; column < width; ++column) {
      XPutPixel(image, column, row, pixelOf(line[column], format));
    }
  }
  XPutImage(target.display, target.drawable, gc, image, 0, 0, x, y, static_cast<unsigned>(width),
            static_cast<unsigned>(rows));
  XDestroyImage(image);  // frees image->data too
  return true;
}

}  // namespace

bool gdiCanDraw(Window* window) {
  Target target;
  return targetOf(window, target);
}

bool gdiCopyToWindow(Window* window, int x, int y, int width, int height, const Bitmap* source,
                     int srcX, int srcY) {
  Target target;
  TargetFormat format;
  if (width <= 0 || height <= 0 || !targetOf(window, target) || !formatOf(target, format)) {
    return false;
  }
  auto* band = new (std::nothrow) uint32_t[static_cast<size_t>(width) * kBandRows];
  if (band == nullptr) return false;
  GC gc = XCreateGC(target.display, target.drawable, 0, nullptr);
  bool ok = gc != nullptr;
  for (int top = 0; top < height && ok; top += kBandRows) {
    int rows = std::min(kBandRows, height - top);
    readDibRect(source, int64_t{srcX}, int64_t{srcY} + top, width, rows, band);
    ok = putBand(target, format, gc, x, y + top, width, rows, band);
  }
  if (gc != nullptr) XFreeGC(target.display, gc);
  XFlush(target.display);
  delete[] band;
  return ok;
}

}  // namespace ce
