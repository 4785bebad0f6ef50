// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Private to platform/: where a pointer event goes when the device has no
// pointer node. Kept free of X headers: a build without X answers it too.
#pragma once

#include "platform/pointer.h"

namespace shub::os {

// On $DISPLAY, over a connection made anew after a server restart: the event
// through XTest (the core pointer and button 1). False when no connection is
// usable now, or when the build has no X (said once).
bool displayPointerEvent(const PointerEvent& event);

}  // namespace shub::os
