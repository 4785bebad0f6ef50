// Private: the X11 side of windows. Top-level windows on the process's display
// connection, X events turned into messages, and the search for and messages
// to other processes' windows. Not for use outside platform/.
//
// Declared without X11 types so that the queue and window modules stay free of
// Xlib; X window ids travel as unsigned long (XID).
#pragma once

#include <cstdint>

namespace ce {

struct Window;

// Creates the X window for `window` (sets window.xid). False without a display
// or when the server refuses.
bool x11CreateWindow(Window& window, int x, int y, int width, int height);
void x11DestroyWindow(Window& window);
void x11ShowWindow(Window& window, bool show);
// Waits up to `timeoutMs` for the first Expose after mapping, handling other X
// events meanwhile. Returns at once when one has arrived already.
void x11WaitForExposure(Window& window, uint32_t timeoutMs);

// The connection's descriptor for poll(); -1 when there is no live connection.
int x11EventFd();
// Reads every X event already available and routes it to its window's queue.
void x11PumpEvents();

// Searches the display's top-level client windows. `client` is the window that
// carries the class and title, `frame` the root child holding it.
bool x11FindWindow(const char* className, const char* title, unsigned long& client,
                   unsigned long& frame);
void x11Foreground(unsigned long client, unsigned long frame);
// Sends a _CE_WINDOW_MESSAGE client message to `xid`.
bool x11PostMessage(unsigned long xid, uint32_t message, uintptr_t wParam, intptr_t lParam);

}  // namespace ce
