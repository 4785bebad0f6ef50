// The daemon's status object CRT:STATUS (layout in serialhub/protocol.h), mapped
// for its life and locked so clients tell a live daemon from a file left behind.
#pragma once

#include <cstdint>
#include <string>

#include "platform/named_block.h"

namespace shub::os {

struct StatusObject {
  NamedBlock block;
  uint8_t* address = nullptr;  // SHUB_STATUS_SIZE bytes, page aligned
};

// Opens or creates CRT:STATUS, maps it, takes the daemon-alive lock and lets
// watchers fence this process (sparing the delivery path a fence of its own).
// False with `problem` naming the object and the OS error.
bool openStatusObject(StatusObject& out, std::string& problem);

// Unmaps, closes and so releases the lock; a closed object is left as is.
void closeStatusObject(StatusObject& status);

}  // namespace shub::os
