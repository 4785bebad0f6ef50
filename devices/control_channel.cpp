// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Control commands from the serial peer on channel 4. The command byte is read
// in place without a lock, so a frame delivered meanwhile is the command taken;
// the reset after handling drops what came during it (lost, not deferred).
#include "devices/control_channel.h"

#include "platform/log.h"
#include "router/channel_block.h"

namespace shub::devices {

namespace {

constexpr uint32_t kCommandByte = 10;  // frame byte 2
constexpr uint8_t kCommandPause = 1;
constexpr uint8_t kCommandToggleBacklight = 3;

}  // namespace

void ControlChannel::runCommand(uint8_t command, std::stop_token stop) {
  if (command == kCommandToggleBacklight) {
    // Read, then write: the main thread writes only while no command runs.
    const bool on = !backlight_.on();
    backlight_.turn(on);
    os::logInfo("backlight switched %s by the peer", on ? "on" : "off");
  }
  if (command == kCommandPause || command == kCommandToggleBacklight) pause_(kControlPause, stop);
}

void ControlChannel::start() {
  channel_.start("CRT4", "CRT4:EVENT", [this](std::stop_token stop, const ChannelFrames& frames) {
    while (frames.waitForFrame(stop)) {
      runCommand(router::loadBlockByte(frames.block, kCommandByte), stop);
      frames.dropDelivered();  // what arrived during the handling
    }
  });
}

}  // namespace shub::devices
