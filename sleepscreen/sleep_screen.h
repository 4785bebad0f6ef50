// SleepScreen: the window procedure of duskcard's full-screen notice and its
// timing. The window lives 15 s after it is created, or 2 s after the latest
// re-arm message (1330 or 1336) once one has come; then the program quits
// with code 0. Drawing happens only on the erase-background message.
//
// The procedure takes its window system as a small interface, so that a test
// with a fake clock can check the timing without a display.
#pragma once

#include <cstdint>

#include "platform/screen.h"

namespace ce {
struct Window;
}

namespace sleepscreen {

inline constexpr char kMutexName[] = "GUID_SLEEP_20130830";
inline constexpr char kClassName[] = "SLEEP";
inline constexpr char kWindowTitle[] = "SLEEP";
inline constexpr char kBitmapPath[] = "residentflash2\\korvent\\app\\duskcard.bmp";
inline constexpr uint32_t kWindowStyle = 0x80080000;  // popup + system menu: no caption, no border
inline constexpr uintptr_t kTimerId = 100;
inline constexpr uint32_t kFirstTimeoutMs = 15000;
inline constexpr uint32_t kRearmTimeoutMs = 2000;
inline constexpr uint32_t kRearmMessageA = 1330;
inline constexpr uint32_t kRearmMessageB = 1336;

inline constexpr int kExitAlreadyRunning = -1;
inline constexpr int kExitNoWindow = 16;

// Set once at start-up, read by the window creation and every painting.
struct SleepScreenState {
  ce::ScreenSize screen;
};

// What the window procedure needs of the window system.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // Starts or restarts a timer without procedure: it arrives as WM_TIMER.
  virtual void setTimer(ce::Window* window, uintptr_t id, uint32_t intervalMs) = 0;
  virtual void killTimer(ce::Window* window, uintptr_t id) = 0;
  virtual intptr_t sendMessage(ce::Window* window, uint32_t message, uintptr_t wParam,
                               intptr_t lParam) = 0;
  virtual void postQuitMessage(int exitCode) = 0;
  virtual intptr_t defWindowProc(ce::Window* window, uint32_t message, uintptr_t wParam,
                                 intptr_t lParam) = 0;
  // Draws the notice over the whole screen (see painting.h).
  virtual void paint(ce::Window* window) = 0;
};

// The SleepScreen window procedure, over `system`.
intptr_t handleSleepScreenMessage(WindowSystem& system, ce::Window* window, uint32_t message,
                                  uintptr_t wParam, intptr_t lParam);

}  // namespace sleepscreen
