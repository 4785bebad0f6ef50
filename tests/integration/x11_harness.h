// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
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

// The cursor the server shows at the pointer now (XFixes): width, height,
// hot spot, then its ARGB pixels; empty when it cannot be read.
std::vector<uint32_t> cursorShown(const std::string& display);
// The standard arrow (XC_left_ptr) as cursorShown() gives it, shown for a
// moment on the root window: call it while no window covers the pointer.
std::vector<uint32_t> standardArrow(const std::string& display);

}  // namespace sleepscreen_test
