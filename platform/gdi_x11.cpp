// Interim: windows cannot be drawn on until the X11 display access lands.
#include "platform/gdi_x11.h"

namespace ce {

bool gdiCanDraw(Window*) { return false; }

bool gdiCopyToWindow(Window*, int, int, int, int, const Bitmap*, int, int) { return false; }

}  // namespace ce
