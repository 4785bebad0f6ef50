// A top-level window of another process, found on the display by class and
// title: posting it a message (how tools and other programs send duskcard its
// re-arm messages, 1330 and 1336) or bringing it to the foreground (how a
// second duskcard shows the first). The message arrives as an X ClientMessage
// of type _CE_WINDOW_MESSAGE; message, wParam and lParam travel as 32-bit
// values.
#pragma once

#include <cstdint>

namespace ce {

// False when there is no display, no such window, or the message could not
// be sent.
bool postWindowMessage(const char* className, const char* title, uint32_t message,
                       uintptr_t wParam, intptr_t lParam);

// Raises the window and asks the window manager, if any, to activate it.
// False when there is no display or no such window.
bool bringWindowToForeground(const char* className, const char* title);

}  // namespace ce
