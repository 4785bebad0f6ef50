// Windows, message queues and timers, the way the programs' logic expects
// them: one message queue per thread, window classes with a window procedure,
// window timers with or without a procedure, posted and sent messages, and a
// quit message that ends the loop.
//
// A window of width or height 0 is message-only: it needs no display (the
// daemon's hidden window). Any other window is an X11 top-level window on
// $DISPLAY; without a display it cannot be created. X events become messages:
// Expose -> WM_PAINT, a ClientMessage of type _CE_WINDOW_MESSAGE -> the message
// in data.l[0] with wParam data.l[1] and lParam data.l[2].
//
// getMessage() blocks without any periodic wake-up: it sleeps until a message
// is posted, a timer falls due, an X event arrives, or a quit signal comes.
#pragma once

#include <cstdint>

namespace ce {

struct Window;  // opaque; owned by the platform

using WindowProc = intptr_t (*)(Window* window, uint32_t message, uintptr_t wParam, intptr_t lParam);
using TimerProc = void (*)(Window* window, uint32_t message, uintptr_t timerId, uint32_t time);

inline constexpr uint32_t WM_CREATE = 1;
inline constexpr uint32_t WM_DESTROY = 2;
inline constexpr uint32_t WM_PAINT = 15;
inline constexpr uint32_t WM_CLOSE = 16;
inline constexpr uint32_t WM_QUIT = 18;
inline constexpr uint32_t WM_ERASEBKGND = 20;
inline constexpr uint32_t WM_TIMER = 275;

inline constexpr uint32_t WS_POPUP = 0x80000000;
inline constexpr uint32_t WS_VISIBLE = 0x10000000;
inline constexpr uint32_t WS_SYSMENU = 0x00080000;
inline constexpr int SW_SHOWNORMAL = 1;

struct Message {
  Window* window = nullptr;
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
  uint32_t time = 0;  // tick count when posted
};

// Registers a class for this process; 0 on failure (empty name, no procedure,
// or a class of that name exists).
uint16_t registerClass(const char* className, WindowProc procedure);

// Creates a window of a registered class. WM_CREATE is sent to its procedure
// before this returns; a procedure that returns -1 for it fails the creation.
// nullptr on failure.
Window* createWindow(const char* className, const char* title, uint32_t style, int x, int y,
                     int width, int height);
bool isWindow(Window* window);
void showWindow(Window* window, int showCommand);
// Handles a pending paint at once (sends WM_PAINT if the window needs painting).
void updateWindow(Window* window);
// Raises the window and asks a window manager, if any, to activate it.
// nullptr does nothing.
void setForegroundWindow(Window* window);
// Finds a top-level window by class and title, in this process or, on the
// display, in another one. nullptr when none.
Window* findWindow(const char* className, const char* title);
void destroyWindow(Window* window);

intptr_t defWindowProc(Window* window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Starts (or restarts: the interval counts anew from this call) timer `id`.
// With a procedure the due timer calls it from dispatchMessage(); without one
// it reaches the window procedure as WM_TIMER with wParam = id. 0 on failure.
uintptr_t setTimer(Window* window, uintptr_t id, uint32_t intervalMs, TimerProc procedure);
bool killTimer(Window* window, uintptr_t id);

// Takes the next message of the calling thread's queue, waiting for one.
// False when it is the quit message (its code is in message.wParam).
bool getMessage(Message& message);
void translateMessage(const Message& message);
intptr_t dispatchMessage(const Message& message);

// Queues a message for the thread that owns `window`. Safe from any thread.
bool postMessage(Window* window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Calls the window procedure at once (same thread) and returns its result.
intptr_t sendMessage(Window* window, uint32_t message, uintptr_t wParam, intptr_t lParam);
void postQuitMessage(int exitCode);

// From now on SIGTERM, SIGINT and SIGHUP post the quit message (code 0) to the
// calling thread's queue instead of ending the process.
void postQuitOnSignals();

}  // namespace ce
