// The daemon's status object CRT:STATUS (layout in serialhub/protocol.h):
// made in $CE_OBJECTS like every other object, mapped for the daemon's life,
// and locked so that clients can tell a running daemon from a file left by
// one that has gone.
//
// It must survive a file of the wrong size in the folder (the daemon then runs
// without a status object) and clients that take the lock for a moment to
// test it (the daemon retries briefly instead of giving up).
#pragma once

#include <cstdint>
#include <string>

#include "platform/named_block.h"

namespace ce {

struct StatusObject {
  NamedBlock block;
  uint8_t* address = nullptr;  // SHUB_STATUS_SIZE bytes, page aligned
};

// Opens or creates CRT:STATUS, maps it and takes the daemon-alive lock. Also
// asks the kernel to let watchers fence this process (membarrier), which is
// what lets the delivery path skip a fence of its own. False with `problem`
// set (naming the object and the OS error) when it cannot be had.
bool openStatusObject(StatusObject& out, std::string& problem);

// Unmaps, closes and so releases the lock. A closed object is left as is.
void closeStatusObject(StatusObject& status);

// FUTEX_WAKE of every process waiting on the shared futex word `word`.
void wakeAllWaiters(uint32_t* word);

}  // namespace ce
