// Screen metrics: the width and height of the screen in pixels.
//
// Taken from the simulated device node $CE_ROOT/dev/screen ("WIDTHxHEIGHT",
// read anew on each call), else from the X server's default screen (when
// $DISPLAY is set and answers; its current size, so a resolution change is
// followed, and a restarted server is connected to again), else from the first framebuffer's
// virtual_size, else 0x0 (unknown). Cheap enough to ask for every touch frame.
#pragma once

#include <cstdint>

namespace ce {

struct ScreenSize {
  int32_t width = 0;
  int32_t height = 0;
};

ScreenSize screenMetrics();

}  // namespace ce
