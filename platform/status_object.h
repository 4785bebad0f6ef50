// The daemon's status object CRT:STATUS (layout in serialhub/protocol.h), mapped
// for its life and locked so clients tell a live daemon from a file left behind.
#pragma once

#include <cstdint>
#include <string>

#include "platform/client_objects.h"

namespace shub::os {

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
