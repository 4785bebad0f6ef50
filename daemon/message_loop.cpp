// The main loop. It must survive any message arriving, the power watcher's
// timer procedure running inside dispatch, and the quit message posted by a
// signal at any moment (it ends the loop cleanly, never mid-dispatch).
#include "daemon/message_loop.h"

#include "platform/clock.h"

MessageLoopOps platformMessageLoop() {
  return MessageLoopOps{
      .getMessage = [](ce::Message& message) { return ce::getMessage(message); },
      .translate = [](const ce::Message& message) { ce::translateMessage(message); },
      .dispatch = [](const ce::Message& message) { return ce::dispatchMessage(message); },
      .pause = [](uint32_t ms) { ce::pauseMs(ms); },
  };
}

void runMessageLoop(const MessageLoopOps& ops) {
  ce::Message message;
  while (ops.getMessage(message)) {
    if (message.message == kHeldMessage) ops.pause(kHeldMessageDelayMs);
    ops.translate(message);
    ops.dispatch(message);
  }
}
