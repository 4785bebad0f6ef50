// Private: one warning on stderr for a failure an operator could meet,
// "<object>: <what>[: <OS error>]"; `error` 0 leaves the OS error out.
// Callers keep their own flag so that each failure is said once.
#pragma once

#include <string>

#include "platform/log.h"

namespace ce::detail {

inline void noteFailure(const std::string& object, const char* what, int error) {
  const std::string text = object + ": " + what;
  logLine(LogLevel::warning, error != 0 ? withError(text, error) : text);
}

}  // namespace ce::detail
