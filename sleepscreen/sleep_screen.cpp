// SleepScreen window procedure (see sleep_screen.h). One timer, id 100, is
// the only running state: every re-arm replaces it, and its expiry delivers
// the destroy message that ends the program.
#include "sleepscreen/sleep_screen.h"

#include "platform/window.h"

namespace sleepscreen {

intptr_t handleSleepScreenMessage(WindowSystem& system, ce::Window* window, uint32_t message,
                                  uintptr_t wParam, intptr_t lParam) {
  switch (message) {
    case ce::WM_CREATE:
      // Starts before the window is shown; the expiry comes as WM_TIMER.
      system.setTimer(window, kTimerId, kFirstTimeoutMs);
      return 0;
    case ce::WM_TIMER:
      system.killTimer(window, wParam);
      system.sendMessage(window, ce::WM_DESTROY, 0, 0);
      return 0;
    case ce::WM_DESTROY:
      system.postQuitMessage(0);
      return system.defWindowProc(window, message, wParam, lParam);
    case ce::WM_ERASEBKGND:
      system.paint(window);
      return 0;
    case kRearmMessageA:
    case kRearmMessageB:
      // Replaces whatever remains of the pending time-out, shorter or longer.
      system.setTimer(window, kTimerId, kRearmTimeoutMs);
      return system.defWindowProc(window, message, wParam, lParam);
    default:
      // WM_PAINT included: its default handling validates and asks for the erase.
      return system.defWindowProc(window, message, wParam, lParam);
  }
}

}  // namespace sleepscreen
