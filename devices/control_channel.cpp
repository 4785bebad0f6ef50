// Control commands from the serial peer on channel 4.
//
// The command byte is read in place right after the wake-up, without a lock:
// a frame delivered meanwhile replaces the one that signalled, and that is the
// command taken. The reset after handling discards every signal that came
// during it; commands in the pause are lost, not deferred.
//
// Must survive: a block that cannot be opened or mapped although its event
// exists (no thread then, so nothing reads an unmapped block), and shutdown
// (the thread is stopped before its block is unmapped; a thread that is never
// stopped would read a view that no longer exists).
#include "devices/control_channel.h"

#include <utility>

#include "devices/backlight_click.h"
#include "devices/channel_consumer.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/named_block.h"
#include "platform/named_event.h"
#include "platform/thread.h"
#include "router/channel_block.h"

std::atomic<uint8_t> controlBusy{1};

namespace {

constexpr const char* kControlBlockName = "CRT4";
constexpr const char* kControlEventName = "CRT4:EVENT";
constexpr uint32_t kCommandByte = 10;  // frame byte 2

enum Command : uint8_t {
  kCommandPause = 1,            // nothing but the pause
  kCommandToggleBacklight = 3,  // invert backlightOn, then switch the lamp
};

ChannelConsumer channel;  // main thread only

void runCommand(uint8_t command, const ControlPause& pause, std::stop_token stop) {
  if (command == kCommandToggleBacklight) {
    // A read followed by a write: only this thread and the main thread (which
    // writes 1 at times when no command runs) change the flag.
    const int32_t on = backlightOn.load() != 0 ? 0 : 1;
    backlightOn.store(on);
    BacklightSwitch(on);
    ce::logLine(ce::LogLevel::info, on != 0 ? "backlight switched on by the peer" : "backlight switched off by the peer");
  }
  if (command == kCommandPause || command == kCommandToggleBacklight) pause(kControlPauseMs, stop);
}

void controlThread(std::stop_token stop, ce::NamedEvent* event, const uint8_t* block, const ControlPause& pause) {
  for (;;) {
    if (ce::waitEvent(event, ce::kInfinite, stop) != ce::WaitResult::signalled) return;
    if (controlBusy.load() != 1) continue;
    const uint8_t command = loadBlockByte(block, kCommandByte);
    controlBusy.store(0);
    runCommand(command, pause, stop);
    ce::resetEvent(event);  // drop what arrived during the handling
    controlBusy.store(1);
  }
}

}  // namespace

int startControlChannel() {
  return startControlChannel([](uint32_t ms, std::stop_token stop) { ce::pauseMs(ms, stop); });
}

int startControlChannel(ControlPause pause) {
  // Called once by the daemon; a repeated start replaces the first cleanly.
  stopControlChannel();
  if (!openChannel(channel, kControlBlockName, kControlEventName)) return 0;
  ce::NamedEvent* event = channel.event.get();
  const uint8_t* address = channel.view.get();
  // The thread is kept (not let go at once) so that shutdown can stop it
  // before it unmaps the block.
  channel.thread = ce::startThread([event, address, pause = std::move(pause)](std::stop_token stop) {
    controlThread(stop, event, address, pause);
  });
  return 0;
}

void stopControlChannel() { releaseChannel(channel); }
