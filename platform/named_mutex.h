// A single-instance guard: $CE_OBJECTS/<name>, under a shared flock by each
// process that holds it open; a crashed one's file does not count.
#pragma once

#include <string_view>

namespace shub::os {

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

}  // namespace shub::os
