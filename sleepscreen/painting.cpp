// Painting the sleep notice (see painting.h).
#include "sleepscreen/painting.h"

#include <optional>
#include <string>

#include "platform/gdi.h"
#include "platform/paths.h"
#include "sleepscreen/bitmap_loader.h"
#include "sleepscreen/sleep_screen.h"

namespace sleepscreen {

namespace {

class PlatformGdi final : public Gdi {
 public:
  ce::DeviceContext* getDC(ce::Window* window) override { return ce::getDC(window); }
  int releaseDC(ce::Window* window, ce::DeviceContext* context) override {
    return ce::releaseDC(window, context);
  }
  ce::DeviceContext* createCompatibleDC(ce::DeviceContext* context) override {
    return ce::createCompatibleDC(context);
  }
  bool deleteDC(ce::DeviceContext* context) override { return ce::deleteDC(context); }
  ce::Bitmap* loadNotice() override {
    // Resolved anew each time: the file may appear, vanish or be replaced
    // while the notice shows. A path that resolves to nothing loads nothing.
    std::optional<std::string> path = ce::resolveDevicePath(kBitmapPath);
    return loadBitmap(path ? path->c_str() : nullptr);
  }
  ce::Bitmap* selectObject(ce::DeviceContext* context, ce::Bitmap* bitmap) override {
    return ce::selectObject(context, bitmap);
  }
  bool bitBlt(ce::DeviceContext* dest, int x, int y, int width, int height,
              ce::DeviceContext* source, int srcX, int srcY, uint32_t rop) override {
    return ce::bitBlt(dest, x, y, width, height, source, srcX, srcY, rop);
  }
  bool deleteObject(ce::Bitmap* bitmap) override { return ce::deleteObject(bitmap); }
};

}  // namespace

Gdi& platformGdi() {
  static PlatformGdi gdi;
  return gdi;
}

void paintNotice(Gdi& gdi, ce::Window* window, ce::ScreenSize screen) {
  ce::DeviceContext* windowContext = gdi.getDC(window);
  ce::DeviceContext* memory = gdi.createCompatibleDC(windowContext);
  ce::Bitmap* bitmap = gdi.loadNotice();
  ce::Bitmap* previous = gdi.selectObject(memory, bitmap);
  gdi.bitBlt(windowContext, 0, 0, screen.width, screen.height, memory, 0, 0, ce::SRCCOPY);
  // The bitmap must leave the context before it can be deleted.
  gdi.selectObject(memory, previous);
  gdi.deleteObject(bitmap);
  gdi.deleteDC(memory);
  gdi.releaseDC(window, windowContext);
}

}  // namespace sleepscreen
