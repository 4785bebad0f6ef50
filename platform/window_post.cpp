// Find a top-level window by class and title and post it a message; a window
// of another process gets it through the X server.
#include "platform/window_post.h"

#include "platform/window.h"

namespace ce {

bool postWindowMessage(const char* className, const char* title, uint32_t message,
                       uintptr_t wParam, intptr_t lParam) {
  Window* window = findWindow(className, title);
  return window != nullptr && postMessage(window, message, wParam, lParam);
}

}  // namespace ce
