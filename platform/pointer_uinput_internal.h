// Private to the pointer module, open to tests: the absolute mouse over a
// uinput node as rules over a small backend (make the device, write one
// event, the clock, stderr), so tests can hand in a fake and a fake clock.
//
// The rules: the device is made when the daemon starts (prepare) so that udev
// has announced it, and desktops opened it, before the first touch; it is kept
// for the life of the process, and made anew only when the node leads
// elsewhere or a write failed. A failure to make it is said once on stderr,
// naming the node and the OS error, and tried again at most once a second,
// never at every event; it is said again only after the device worked and
// failed anew.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/pointer.h"

namespace ce::detail {

class UinputBackend {
 public:
  virtual ~UinputBackend() = default;
  // Makes the device over the node at `path`: 0, or the errno that stopped it.
  virtual int make(const std::string& path) = 0;
  // Destroys the device made last.
  virtual void destroy() = 0;
  // Writes one input event (linux/input.h type, code, value) to it.
  virtual bool write(uint16_t type, uint16_t code, int32_t value) = 0;
  virtual uint32_t nowMs() = 0;
  virtual void say(const std::string& path, int error) = 0;
};

class UinputPointer {
 public:
  explicit UinputPointer(UinputBackend& backend) : backend_(backend) {}
  // Makes the device now unless it is made or an attempt is not yet due.
  bool prepare(const std::string& path);
  // Feeds one event, making the device first under the same rules.
  bool inject(const std::string& path, const PointerEvent& event);

 private:
  bool ensure(const std::string& path);  // mutex_ held

  UinputBackend& backend_;
  std::mutex mutex_;
  bool made_ = false;
  std::string madePath_;
  bool tried_ = false;  // an attempt was made, at triedAt_, over triedPath_
  uint32_t triedAt_ = 0;
  std::string triedPath_;
  bool said_ = false;  // the present failure is said
};

}  // namespace ce::detail
