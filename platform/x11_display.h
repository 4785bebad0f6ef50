// Private: Xlib set up once per process before its first connection, for
// every module that opens one (the notice window, posting to a window, the
// pointer and metrics connection). Not for use outside platform/.
#pragma once

namespace ce {

// Xlib's thread support and the process-wide error handlers: protocol errors
// are ignored (a window of another process may vanish while we look at it;
// callers check every reply) and a lost connection does not end the process.
// Each connection learns of its own loss through its exit handler
// (XSetIOErrorExitHandler), which is per display.
void prepareXlib();

}  // namespace ce
