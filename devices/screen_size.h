// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The screen's size in pixels, from $CE_ROOT/dev/screen ("WIDTHxHEIGHT", read anew
// at each call), else $DISPLAY's X server, else the first framebuffer's
// virtual_size, else 0x0 (unknown). Cheap enough to ask for every touch frame.
#pragma once

#include "platform/pointer.h"

namespace shub::devices {

os::ScreenSize screenMetrics();

}  // namespace shub::devices
