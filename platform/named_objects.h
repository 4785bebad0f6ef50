// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// What the daemon's side makes in $CE_OBJECTS beside the events
// (client_objects.h): blocks, instance locks and the status object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/client_objects.h"

namespace shub::os {

// Opens the named block, a file of exactly its size mapped shared, or creates
// it zero-filled; it outlives its makers and keeps its contents when reopened.
// Invalid for a name with '/', an empty name or size, or an existing file of
// another size (errno EINVAL).
Block openOrCreateBlock(std::string_view name, uint32_t size);

// A single-instance guard: $CE_OBJECTS/<name>, under a shared flock by each
// process that holds it open; a crashed one's file does not count.
class InstanceLock {
 public:
  // Takes a share of the name; `heldElsewhere()` tells whether another live
  // process held it already. Invalid when the file cannot be had.
  explicit InstanceLock(std::string_view name);
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock();

  bool valid() const { return fd_ >= 0; }
  bool heldElsewhere() const { return heldElsewhere_; }

 private:
  int fd_ = -1;
  bool heldElsewhere_ = false;
};

// The daemon's status object CRT:STATUS (layout in serialhub/protocol.h), mapped
// for its life and locked so clients tell a live daemon from a file left behind.
class StatusObject {
 public:
  // Opens or creates CRT:STATUS, maps it, takes the daemon-alive lock and lets
  // watchers fence this process (sparing the delivery path a fence of its own).
  // False with `why` naming the object and the OS error. The lock goes with the object.
  bool open(std::string* why);
  uint8_t* data() const { return block_.data(); }  // SHUB_STATUS_SIZE bytes, page aligned

 private:
  Block block_;
};

}  // namespace shub::os
