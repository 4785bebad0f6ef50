// Watching duskcard on a private X server (a testing_support::XvfbServer):
// the screen read back from the root window, and where its window sits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sleepscreen_test {

// The screen as 0x00RRGGBB, rows from the top; empty when it cannot be read.
std::vector<uint32_t> readScreen(const std::string& display, int width, int height);

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};
// Root position and size of the top-level window with WM_CLASS class
// `className`, searched through window-manager frames; nullopt when none.
std::optional<Geometry> findTopLevel(const std::string& display, const std::string& className);

}  // namespace sleepscreen_test
