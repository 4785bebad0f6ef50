// The other process in the X11 window tests: posts one message to a window
// found by class and title. Usage: window_peer CLASS TITLE MESSAGE WPARAM LPARAM
#include <cstdlib>

#include "platform/window_post.h"

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  const bool posted = ce::postWindowMessage(
      argv[1], argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0)),
      static_cast<uintptr_t>(std::strtoull(argv[4], nullptr, 0)),
      static_cast<intptr_t>(std::strtoll(argv[5], nullptr, 0)));
  return posted ? 0 : 1;
}
