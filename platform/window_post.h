// Posting a message to a window of another process (or of this one), found by
// class and title: how tools and other programs send duskcard its re-arm
// messages (1330, 1336). The message arrives as an X ClientMessage of type
// _CE_WINDOW_MESSAGE; message, wParam and lParam travel as 32-bit values.
#pragma once

#include <cstdint>

namespace ce {

// False when no such window exists (or there is no display for a window of
// another process) or the message could not be sent.
bool postWindowMessage(const char* className, const char* title, uint32_t message,
                       uintptr_t wParam, intptr_t lParam);

}  // namespace ce
