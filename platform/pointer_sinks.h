// Private to the pointer module: the sinks an event can go to, one file each.
#pragma once

#include <string>

#include "platform/pointer.h"

namespace ce {

// Appends "flags x y data extra" to the regular file at `path`.
bool recordPointerEvent(const std::string& path, const PointerEvent& event);

// Makes the absolute mouse over the uinput node at `path` now, unless it is
// made already or a failed attempt is not yet due (pointer_uinput_internal.h).
bool prepareUinputPointer(const std::string& path);

// Feeds the absolute mouse made over the uinput node at `path`.
bool uinputPointerEvent(const std::string& path, const PointerEvent& event);

// Sends the event to the X server of $DISPLAY through XTest.
bool xtestPointerEvent(const PointerEvent& event);

}  // namespace ce
