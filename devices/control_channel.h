// The control channel: a thread that wakes on each frame of channel 4
// ("CRT4"), reads one command byte and acts. Command 3 toggles the backlight,
// command 1 only imposes the pause; after either, commands that arrived in
// the meantime are dropped, so the peer gets at most one toggle per 300 ms and
// nothing queues.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <stop_token>

#include "platform/clock.h"

namespace shub::devices {

// 1 ready to take a command; 0 while one is handled. Control thread only.
extern std::atomic<uint8_t> controlBusy;

inline constexpr uint32_t kControlPauseMs = 300;

// The pause after commands 1 and 3, ended early only by a stop; tests hand in
// one they control.
using ControlPause = std::function<void(uint32_t ms, std::stop_token stop)>;

// Opens "CRT4:EVENT" and "CRT4" and starts the thread. Returns 0 in every
// case; without the event or the block no thread runs.
int startControlChannel(ControlPause pause = [](uint32_t ms, std::stop_token stop) { os::pauseMs(ms, stop); });

// Stops the thread, then releases what it held. Shutdown calls it before the
// channel blocks go away.
void stopControlChannel();

}  // namespace shub::devices
