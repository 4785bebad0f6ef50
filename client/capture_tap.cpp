// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// See capture_tap.h. A client never makes the object: only a running daemon
// does, so a missing one means no daemon (or another CE_OBJECTS).
#include "client/capture_tap.h"

#include <cerrno>
#include <cstring>

#include <serialhub/protocol.h>

#include "client/tool.h"
#include "platform/paths.h"
#include "router/tap_ring.h"

namespace shub::client {

bool openTap(os::Block& tap, std::string* why) {
  const std::string path = "tap " + os::objectPath(SHUB_TAP_NAME).value_or(SHUB_TAP_NAME);
  if (!(tap = os::Block::open(SHUB_TAP_NAME, SHUB_TAP_SIZE)).valid()) {
    const int error = errno;
    return refuse(why, path + ": " + (error == EINVAL ? std::string("not a tap object") : std::strerror(error)) +
                           (error == ENOENT ? " (is serialhub running?)" : ""));
  }
  if (!router::TapReader::ready(tap.data())) {
    tap = {};
    return refuse(why, path + ": not set up by a daemon yet");
  }
  return true;
}

}  // namespace shub::client
