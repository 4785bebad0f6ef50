// The daemon's main loop: take the next message of the main thread, hold
// message 1329 back 50 ms, translate and dispatch, until the quit message.
// The message source and the pause are handed in, so the loop can be run
// against a scripted queue and a recording pause in tests.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/window.h"

inline constexpr uint32_t kHeldMessage = 1329;  // 0x531: its sender expects it handled late
inline constexpr uint32_t kHeldMessageDelayMs = 50;

struct MessageLoopOps {
  std::function<bool(ce::Message&)> getMessage;  // false: the quit message
  std::function<void(const ce::Message&)> translate;
  std::function<intptr_t(const ce::Message&)> dispatch;
  std::function<void(uint32_t ms)> pause;
};

// The platform's message queue and a plain pause of the main thread.
MessageLoopOps platformMessageLoop();

// Runs until getMessage() reports the quit message.
void runMessageLoop(const MessageLoopOps& ops);
