// Painting the sleep notice: the bitmap file is loaded anew on every erase,
// copied unscaled from (0, 0) over the screen-sized window, and everything
// made for the painting is released again in reverse order.
//
// Must survive a missing or broken bitmap file: the copy then runs from a
// memory context without an image and the screen shows black.
#pragma once

#include <cstdint>

#include "platform/screen.h"

namespace ce {
struct Window;
struct Bitmap;
struct DeviceContext;
}  // namespace ce

namespace sleepscreen {

// The drawing calls of one painting.
class Gdi {
 public:
  virtual ~Gdi() = default;
  virtual ce::DeviceContext* getDC(ce::Window* window) = 0;
  virtual int releaseDC(ce::Window* window, ce::DeviceContext* context) = 0;
  virtual ce::DeviceContext* createCompatibleDC(ce::DeviceContext* context) = 0;
  virtual bool deleteDC(ce::DeviceContext* context) = 0;
  // The notice's bitmap, read from its file now; nullptr when there is none.
  virtual ce::Bitmap* loadNotice() = 0;
  virtual ce::Bitmap* selectObject(ce::DeviceContext* context, ce::Bitmap* bitmap) = 0;
  virtual bool bitBlt(ce::DeviceContext* dest, int x, int y, int width, int height,
                      ce::DeviceContext* source, int srcX, int srcY, uint32_t rop) = 0;
  virtual bool deleteObject(ce::Bitmap* bitmap) = 0;
};

// The platform's drawing, with the notice read from kBitmapPath below CE_ROOT.
Gdi& platformGdi();

void paintNotice(Gdi& gdi, ce::Window* window, ce::ScreenSize screen);

}  // namespace sleepscreen
