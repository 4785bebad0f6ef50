// serialhub's parts and their life: start-up in a fixed order, the main loop,
// and shutdown in the reverse order of what depends on what.
//
// It must survive: a missing or unreadable route file (said on stderr, exit
// 78 at once, the port never touched), an empty route file (runs, frames find
// no route), no serial port (runs idle), no battery device, and
// SIGTERM/SIGINT/SIGHUP at any time after the first line of main (the signal
// waits for the loop, the loop ends, shutdown runs in order, exit 0).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "daemon/service_status.h"
#include "devices/backlight_click.h"
#include "devices/control_channel.h"
#include "devices/power_watcher.h"
#include "devices/touch_injector.h"
#include "platform/lock_record.h"
#include "platform/main_loop.h"
#include "platform/power_nodes.h"
#include "platform/status_object.h"
#include "router/frame_assembler.h"
#include "router/receive_tap.h"
#include "router/route_table.h"
#include "router/serial_link.h"
#include "router/status_publisher.h"

namespace shub::daemon {

inline constexpr int kExitFailure = 1;  // a start-up failure of the machine, not the set-up
inline constexpr int kExitConfig = 78;  // EX_CONFIG: a set-up the daemon refuses to run on

// What the frame assembler asks of the daemon: the clock, the lamp's record,
// the dark-screen click and the operator's debug lines.
class AssemblerHooks final : public router::FrameAssemblerHooks {
 public:
  explicit AssemblerHooks(devices::Backlight& backlight) : backlight_(backlight) {}
  uint32_t tickCount() override;
  int32_t backlightOn() override { return backlight_.on() ? 1 : 0; }
  void keyClick(int32_t kind) override { backlight_.keyClick(kind); }
  void setEvent(os::NamedEvent* event) override;
  bool tellsFrames() override;
  void frameSeen(uint32_t entry, int32_t channel, const uint8_t* bytes, uint32_t length, bool delivered) override;

 private:
  devices::Backlight& backlight_;
};

// Each thing it starts is released by the one member that holds it.
struct HeldChannelBlocks {
  router::RouteTable* routes = nullptr;
  ~HeldChannelBlocks();
};
struct HeldStatusObject {
  os::StatusObject object;  // unmapped when it could not be made
  ~HeldStatusObject();
};
// A serial link whose reader would not stop still uses what the daemon holds:
// then the process ends at once, without the destructors that would pull it
// from under it.
struct StoppedLink {
  std::unique_ptr<router::SerialLink> link;
  ~StoppedLink();
};

class Daemon {
 public:
  explicit Daemon(std::string routesPath) : routesPath_(std::move(routesPath)) {}

  // Start-up and main loop; shutdown is the destruction. Returns the exit
  // code: 0 after a stop signal, kExitConfig when the route file or the
  // objects directory cannot be used, kExitFailure when the loop cannot be
  // set up. The caller has blocked the stop signals (os::blockStopSignals())
  // before any thread was started.
  int run();

 private:
  bool start();
  bool endStart(int code, const std::string& line = {});
  void startStatus();
  void startTap();
  void startSerial();
  void startDeviceServices();
  void tick(bool watchdog);

  // Members are in start-up order, so destruction is the shutdown: the
  // threads that read a channel block or the port (power watcher's touch
  // restarts, touch, control, then the serial link) stop before the blocks,
  // the status object and the loop they use go away.
  std::string routesPath_;  // empty: ctl_rt.st beside the program
  os::LockRecord lock_{};   // copied into every channel block
  std::optional<os::Battery> battery_;  // absent when missing at start-up
  router::RouteTable routes_;           // referred to by the assembler: the daemon never moves
  std::optional<os::MainLoop> loop_;    // the power tick and the stop signals
  HeldChannelBlocks channelBlocks_;
  HeldStatusObject statusObject_;
  std::unique_ptr<router::StatusPublisher> publisher_;  // null without a status object
  std::unique_ptr<router::ReceiveTap> tap_;             // CRT:TAP; null when it could not be made
  ServiceStatus status_;
  devices::RealLampAndSpeaker lampAndSpeaker_;
  devices::Backlight backlight_{lampAndSpeaker_};
  AssemblerHooks assemblerHooks_{backlight_};
  std::unique_ptr<router::FrameAssembler> assembler_;
  StoppedLink link_;
  devices::ControlChannel control_{backlight_};
  devices::RealTouchPlatform touchPlatform_{backlight_};
  devices::TouchInjector touch_{touchPlatform_};
  std::optional<devices::RealPowerPlatform> powerPlatform_;
  std::optional<devices::PowerWatcher> power_;
  int exitCode_ = 0;  // when start-up ends early
};

}  // namespace shub::daemon
