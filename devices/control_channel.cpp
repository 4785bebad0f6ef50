// Control commands from the serial peer on channel 4. The command byte is read
// in place without a lock, so a frame delivered meanwhile is the command taken;
// the reset after handling drops what came during it (lost, not deferred).
#include "devices/control_channel.h"

#include <utility>

#include "devices/backlight_click.h"
#include "devices/channel_consumer.h"
#include "platform/log.h"
#include "router/channel_block.h"

namespace shub::devices {

std::atomic<uint8_t> controlBusy{1};

namespace {

constexpr uint32_t kCommandByte = 10;  // frame byte 2
constexpr uint8_t kCommandPause = 1;
constexpr uint8_t kCommandToggleBacklight = 3;

ChannelConsumer channel;  // main thread only

void runCommand(uint8_t command, const ControlPause& pause, std::stop_token stop) {
  if (command == kCommandToggleBacklight) {
    // Read, then write: the main thread writes only while no command runs.
    const int32_t on = backlightOn.load() != 0 ? 0 : 1;
    backlightOn.store(on);
    BacklightSwitch(on);
    os::logLine(os::LogLevel::info, on != 0 ? "backlight switched on by the peer" : "backlight switched off by the peer");
  }
  if (command == kCommandPause || command == kCommandToggleBacklight) pause(kControlPauseMs, stop);
}

void controlThread(std::stop_token stop, os::Event* event, const uint8_t* block, const ControlPause& pause) {
  while (event->wait(std::nullopt, stop) == os::WaitResult::signalled) {
    if (controlBusy.load() != 1) continue;
    const uint8_t command = router::loadBlockByte(block, kCommandByte);
    controlBusy.store(0);
    runCommand(command, pause, stop);
    event->clear();  // drop what arrived during the handling
    controlBusy.store(1);
  }
}

}  // namespace

int startControlChannel(ControlPause pause) {
  startConsumer(channel, "CRT4", "CRT4:EVENT",
                [pause = std::move(pause)](std::stop_token stop, os::Event* event, const uint8_t* block) {
                  controlThread(stop, event, block, pause);
                });
  return 0;
}

void stopControlChannel() { releaseChannel(channel); }

}  // namespace shub::devices
