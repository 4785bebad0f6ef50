// duskcard over the real platform: the window system behind the SleepScreen
// procedure, the start-up's calls, and the process-wide state they share.
// Window procedures are plain functions, so the state they read is global.
#include "platform/named_mutex.h"
#include "platform/window.h"
#include "sleepscreen/painting.h"
#include "sleepscreen/sleep_screen.h"
#include "sleepscreen/startup.h"

namespace sleepscreen {

namespace {

SleepScreenState processState;

class PlatformWindowSystem final : public WindowSystem {
 public:
  void setTimer(ce::Window* window, uintptr_t id, uint32_t intervalMs) override {
    ce::setTimer(window, id, intervalMs, nullptr);
  }
  void killTimer(ce::Window* window, uintptr_t id) override { ce::killTimer(window, id); }
  intptr_t sendMessage(ce::Window* window, uint32_t message, uintptr_t wParam,
                       intptr_t lParam) override {
    return ce::sendMessage(window, message, wParam, lParam);
  }
  void postQuitMessage(int exitCode) override { ce::postQuitMessage(exitCode); }
  intptr_t defWindowProc(ce::Window* window, uint32_t message, uintptr_t wParam,
                         intptr_t lParam) override {
    return ce::defWindowProc(window, message, wParam, lParam);
  }
  void paint(ce::Window* window) override { paintNotice(platformGdi(), window, processState.screen); }
};

intptr_t sleepScreenProc(ce::Window* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  static PlatformWindowSystem system;
  return handleSleepScreenMessage(system, window, message, wParam, lParam);
}

class PlatformStartup final : public StartupSystem {
 public:
  bool createMutexExisted(const char* name) override {
    bool existed = false;
    // Kept open, never closed: the name must exist while this process runs.
    mutex_ = ce::createMutex(name, existed);
    return mutex_ != nullptr && existed;
  }
  ce::Window* findWindow(const char* className, const char* title) override {
    return ce::findWindow(className, title);
  }
  void setForegroundWindow(ce::Window* window) override { ce::setForegroundWindow(window); }
  ce::ScreenSize screenMetrics() override { return ce::screenMetrics(); }
  uint16_t registerClass(const char* className) override {
    return ce::registerClass(className, sleepScreenProc);
  }
  ce::Window* createWindow(const char* className, const char* title, uint32_t style, int x, int y,
                           int width, int height) override {
    // The platform makes a window without area message-only, and one needs
    // no display: a notice that shows nothing must fail like a missing
    // display instead of waiting out its time-out unseen.
    if (width <= 0 || height <= 0) return nullptr;
    return ce::createWindow(className, title, style, x, y, width, height);
  }
  bool isWindow(ce::Window* window) override { return ce::isWindow(window); }
  void showWindow(ce::Window* window, int showCommand) override {
    ce::showWindow(window, showCommand);
  }
  void updateWindow(ce::Window* window) override { ce::updateWindow(window); }
  bool getMessage(ce::Message& message) override { return ce::getMessage(message); }
  void translateMessage(const ce::Message& message) override { ce::translateMessage(message); }
  void dispatchMessage(const ce::Message& message) override { ce::dispatchMessage(message); }

 private:
  ce::NamedMutex* mutex_ = nullptr;
};

}  // namespace

int runDuskcard() {
  static PlatformStartup startup;
  return runSleepScreen(startup, processState);
}

}  // namespace sleepscreen
