// duskcard's start-up and message loop: single instance by a named mutex,
// the screen size read once, the screen-sized SLEEP window created, shown and
// painted before the loop, and the quit message's code as the exit code.
//
// Must survive a second start (it brings the first forward and leaves with
// -1, never touching the first's timer) and a machine without a display
// (no window can be made: exit 16).
#pragma once

#include <cstdint>

#include "platform/screen.h"
#include "platform/window.h"
#include "sleepscreen/sleep_screen.h"

namespace sleepscreen {

// What start-up and the loop need of the platform.
class StartupSystem {
 public:
  virtual ~StartupSystem() = default;
  // Creates the mutex, not owned, and keeps it to the end of the process.
  // True when another instance held the name already.
  virtual bool createMutexExisted(const char* name) = 0;
  virtual ce::Window* findWindow(const char* className, const char* title) = 0;
  virtual void setForegroundWindow(ce::Window* window) = 0;
  virtual ce::ScreenSize screenMetrics() = 0;
  // Registers the class with the SleepScreen window procedure; 0 on failure.
  virtual uint16_t registerClass(const char* className) = 0;
  virtual ce::Window* createWindow(const char* className, const char* title, uint32_t style, int x,
                                   int y, int width, int height) = 0;
  virtual bool isWindow(ce::Window* window) = 0;
  virtual void showWindow(ce::Window* window, int showCommand) = 0;
  virtual void updateWindow(ce::Window* window) = 0;
  virtual bool getMessage(ce::Message& message) = 0;
  virtual void translateMessage(const ce::Message& message) = 0;
  virtual void dispatchMessage(const ce::Message& message) = 0;
};

// Runs duskcard: -1 when another instance runs, 16 when the window cannot be
// made, else the quit message's code. Stores the screen size in `state`
// before the window is created.
int runSleepScreen(StartupSystem& system, SleepScreenState& state);

// The real thing: platform windows, the process-wide state, and the
// SleepScreen procedure painting through platformGdi().
int runDuskcard();

}  // namespace sleepscreen
