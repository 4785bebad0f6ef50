// Private: the X11 half of the drawing contexts (gdi.cpp keeps the contexts,
// this puts pixels on a window). Not for use outside platform/.
#pragma once

namespace ce {

struct Window;
struct Bitmap;

// True when `window` has an X drawable that a context can draw on.
bool gdiCanDraw(Window* window);

// Puts width x height pixels of `source` from (srcX, srcY) at (x, y) of the
// window, black where the source has no pixel. Sizes are 1..32767.
bool gdiCopyToWindow(Window* window, int x, int y, int width, int height, const Bitmap* source,
                     int srcX, int srcY);

}  // namespace ce
