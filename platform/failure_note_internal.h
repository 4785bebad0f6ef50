// Private: a warning "<object>: <what>[: <OS error>]" for a failure an operator
// could meet (`error` 0: none); callers keep a flag so that it is said once.
#pragma once

#include <string>

#include "platform/log.h"

namespace shub::os::detail {

inline void noteFailure(const std::string& object, const char* what, int error) {
  const std::string text = object + ": " + what;
  logLine(LogLevel::warning, error != 0 ? withError(text, error) : text);
}

}  // namespace shub::os::detail
