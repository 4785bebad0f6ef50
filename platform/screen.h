// The screen's size in pixels, as the X server on $DISPLAY knows it.
#pragma once

#include <cstdint>
#include <optional>

namespace shub::os {

struct ScreenSize {
  int32_t width = 0;
  int32_t height = 0;
};

// The root window's size, over a connection made anew after a server
// restart; nullopt when no connection is usable now.
std::optional<ScreenSize> xScreenSize();

}  // namespace shub::os
