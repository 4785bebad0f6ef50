// duskcard's start-up and message loop (see startup.h).
#include "sleepscreen/startup.h"

namespace sleepscreen {

namespace {

ce::Window* createSleepWindow(StartupSystem& system, ce::ScreenSize screen) {
  if (system.registerClass(kClassName) == 0) return nullptr;
  // WM_CREATE arrives inside this call and starts the 15 s timer.
  ce::Window* window = system.createWindow(kClassName, kWindowTitle, kWindowStyle, 0, 0,
                                           screen.width, screen.height);
  // Not merely non-null: the platform's own test of a live window.
  if (window == nullptr || !system.isWindow(window)) return nullptr;
  // Updated at once, so the notice is on the screen before the loop starts.
  system.showWindow(window, ce::SW_SHOWNORMAL);
  system.updateWindow(window);
  return window;
}

}  // namespace

int runSleepScreen(StartupSystem& system, SleepScreenState& state) {
  // Only the name's existence matters; a mutex that cannot be made at all
  // just leaves this run without a single-instance guard.
  if (system.createMutexExisted(kMutexName)) {
    system.setForegroundWindow(system.findWindow(kClassName, kWindowTitle));
    return kExitAlreadyRunning;
  }
  state.screen = system.screenMetrics();
  ce::Window* window = createSleepWindow(system, state.screen);
  if (window == nullptr) return kExitNoWindow;
  system.setForegroundWindow(window);
  ce::Message message;
  while (system.getMessage(message)) {
    system.translateMessage(message);
    system.dispatchMessage(message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace sleepscreen
