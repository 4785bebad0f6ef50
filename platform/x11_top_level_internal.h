// Private to platform/: what the programs that own or reach top-level X11
// windows share (the notice window, and posting to a window found by class
// and title): their own connection, whether a window manager runs, and
// bringing a window to the foreground.
#pragma once

#include <X11/Xlib.h>

namespace ce::toplevel {

// Type of the ClientMessage that carries a window message: format 32,
// data.l[0] the message number, data.l[1] wParam, data.l[2] lParam.
inline constexpr char kMessageAtom[] = "_CE_WINDOW_MESSAGE";

// A connection of its own to $DISPLAY, close-on-exec. Protocol errors are
// ignored (a window of another process may vanish while we look at it; every
// reply is checked instead), and a lost connection sets `*lost` (when given)
// instead of ending the process. nullptr when DISPLAY is unset or does not
// answer.
Display* openDisplay(bool* lost);

// A compliant window manager names a check window that names itself.
bool windowManagerRunning(Display* display);

// Raises `frame` (the client itself when 0) and asks the window manager, if
// any, to activate `client`; without one the client gets the input focus when
// it is viewable. Waits for the server to take it: the caller may exit next.
void bringToForeground(Display* display, ::Window client, ::Window frame);

}  // namespace ce::toplevel
