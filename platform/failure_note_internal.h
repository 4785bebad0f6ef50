// Private: one line on stderr for a failure an operator could meet,
// "<program>: <object>: <what>[: <OS error>]". Callers keep their own flag so
// that each failure is said once, not at every retry.
#pragma once

#include <errno.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace ce::detail {

// `error` 0 leaves the OS error out (a lost connection has none worth naming).
inline void noteFailure(const std::string& object, const char* what, int error) {
  if (error != 0) {
    std::fprintf(stderr, "%s: %s: %s: %s\n", program_invocation_short_name, object.c_str(), what,
                 std::strerror(error));
  } else {
    std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, object.c_str(), what);
  }
}

}  // namespace ce::detail
