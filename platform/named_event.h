// Auto-reset events, named (an 8-byte file in $CE_OBJECTS, layout in
// serialhub/protocol.h) or unnamed (private memory). Each signal releases
// exactly one wait.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string_view>

#include "platform/client_objects.h"

namespace shub::os {

class Event {
 public:
  Event() = default;  // no event: a signal does nothing, a wait fails

  static Event unnamed();
  // Creates the named event, not signalled, or opens it keeping its state; invalid on failure.
  static Event create(std::string_view name);
  // Opens an existing named event; invalid, errno set, when there is none.
  static Event open(std::string_view name);

  bool valid() const { return word() != nullptr; }
  void signal();
  void clear();
  // True while a signal waits to be taken; takes nothing.
  bool signalled() const;
  // Waits up to `timeout`; a stop of `stop`, also one before the wait sleeps,
  // ends it with `stopped` and consumes no signal. Without a stop token a
  // signal handler that runs ends it with `interrupted`.
  WaitResult wait(Timeout timeout, std::stop_token stop = {});
  bool broken() const { return file_.broken(); }

 private:
  uint32_t* word() const;
  bool hasMagic() const;  // a named event's file carries the event magic

  Block file_;                      // a named event's file
  std::unique_ptr<uint32_t> local_;  // an unnamed event's word
};

}  // namespace shub::os
