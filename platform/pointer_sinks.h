// Private to the pointer module: the sinks an event can go to, one file each.
#pragma once

#include <string>

#include "platform/pointer.h"

namespace ce {

// Appends "flags x y data extra" to the regular file at `path`.
bool recordPointerEvent(const std::string& path, const PointerEvent& event);

// Feeds the absolute mouse made over the uinput node at `path` (made on the
// first event and kept for the life of the process).
bool uinputPointerEvent(const std::string& path, const PointerEvent& event);

// Sends the event to the X server of $DISPLAY through XTest.
bool xtestPointerEvent(const PointerEvent& event);

}  // namespace ce
