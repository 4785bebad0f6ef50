// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Finding the running daemon's raw receive tap, for record and replay.
#pragma once

#include <string>

#include "platform/client_objects.h"

namespace shub::client {

// Maps CRT:TAP of $CE_OBJECTS once a daemon has set it up. False with
// `problem` naming the object and why.
bool openTap(os::Block& tap, std::string* why);

}  // namespace shub::client
