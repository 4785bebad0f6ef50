// Drawing contexts and block copies, the few GDI calls the sleep notice
// makes: a window's drawing context, a memory context that holds a bitmap,
// selecting a bitmap in and out, a source-copy BitBlt onto the window, and
// deleting the objects again.
//
// Must survive null and stale arguments (a missing bitmap is selected, copied
// and deleted like any other) and copies that reach beyond the image: where
// there is no image pixel the window gets black.
#pragma once

#include <cstdint>

namespace ce {

struct Window;
struct Bitmap;
struct DeviceContext;  // opaque

inline constexpr uint32_t SRCCOPY = 0x00CC0020;

// The drawing context of `window` (its client area); nullptr for a window
// that cannot be drawn on.
DeviceContext* getDC(Window* window);
// Releases a context from getDC(); 1 when released, 0 otherwise.
int releaseDC(Window* window, DeviceContext* context);

// A memory context, compatible with `context` or with the screen when null.
// It starts with an empty stock bitmap selected.
DeviceContext* createCompatibleDC(DeviceContext* context);
// Deletes a memory context. The bitmap selected into it stays alive.
bool deleteDC(DeviceContext* context);

// Selects `bitmap` into memory context `context` and returns the bitmap that
// was selected before. nullptr, and no change, when either is null, the
// context is a window's, or the bitmap is selected into another context.
Bitmap* selectObject(DeviceContext* context, Bitmap* bitmap);

// Copies width x height pixels from (srcX, srcY) of memory context `source` to
// (x, y) of window context `dest`. Only SRCCOPY is supported. Pixels outside
// the source image are black.
bool bitBlt(DeviceContext* dest, int x, int y, int width, int height, DeviceContext* source,
            int srcX, int srcY, uint32_t rop);

// Deletes a bitmap. False, and nothing deleted, for null, the stock bitmap, or
// a bitmap still selected into a context (select the previous one back first).
bool deleteObject(Bitmap* bitmap);

}  // namespace ce
