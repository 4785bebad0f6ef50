// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The control channel: a thread that wakes on each frame of channel 4
// ("CRT4"), reads one command byte and acts. Command 3 toggles the backlight,
// command 1 only imposes the pause; after either, commands that arrived in
// the meantime are dropped, so the peer gets at most one toggle per 300 ms and
// nothing queues.
#pragma once

#include <chrono>
#include <functional>

#include "devices/backlight_click.h"
#include "devices/channel_consumer.h"
#include "router/threads.h"

namespace shub::devices {

inline constexpr std::chrono::milliseconds kControlPause{300};

// The pause after commands 1 and 3, ended early only by a stop; tests hand in
// one they control.
using ControlPause = std::function<void(std::chrono::milliseconds, std::stop_token)>;

class ControlChannel {
 public:
  explicit ControlChannel(Backlight& backlight, ControlPause pause = router::pauseFor)
      : backlight_(backlight), pause_(std::move(pause)) {}

  // Opens "CRT4:EVENT" and "CRT4" and starts the thread; without the event
  // or the block no thread runs. Destruction stops the thread, then releases.
  void start();

 private:
  void runCommand(uint8_t command, std::stop_token stop);

  Backlight& backlight_;
  ControlPause pause_;
  ChannelConsumer channel_;  // last: its thread stops before the rest goes
};

}  // namespace shub::devices
