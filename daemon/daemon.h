// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// serialhub's parts and their life: start-up in a fixed order, the main loop,
// and shutdown in the reverse order of what depends on what.
//
// It must survive: a missing or unreadable route file (said on stderr, exit
// 78 at once, the port never touched), an empty route file (runs, frames find
// no route), no serial port (runs idle), no battery device, and
// SIGTERM/SIGINT at any time after the first line of main (the signal waits
// for the loop, the loop ends, shutdown runs in order, exit 0). SIGHUP reloads
// the route file; one refused or unreadable keeps the table in use.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "daemon/service_status.h"
#include "devices/control_channel.h"
#include "devices/power_watcher.h"
#include "platform/main_loop.h"
#include "platform/named_objects.h"
#include "platform/log.h"
#include "router/channel_blocks.h"
#include "router/frame_assembler.h"
#include "router/monitor_hub.h"
#include "router/receive_tap.h"
#include "router/route_switch.h"
#include "router/route_table.h"
#include "router/serial_link.h"
#include "router/status_publisher.h"

namespace shub::daemon {

inline constexpr int kExitFailure = 1;  // a start-up failure of the machine, not the set-up
inline constexpr int kExitConfig = 78;  // EX_CONFIG: a set-up the daemon refuses to run on

struct OnRelease {  // runs, as the daemon goes, the release of what start-up began
  std::function<void()> release;
  ~OnRelease() { if (release) release(); }
};

// The frame assembler's hooks are the daemon's: the clock, the lamp's record,
// the dark-screen click and the operator's debug lines.
class Daemon final : private router::FrameAssemblerHooks {
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
  void startMonitors();
  void startSerial();
  void startDeviceServices();
  bool loadRoutes(router::RouteTable& table, uint32_t* refusedLines = nullptr) const;
  std::unique_ptr<router::Routing> routingFor(const router::RouteTable& table, const router::RouteTable* inUse);
  void attachAssembler(router::Routing& routing);
  void switchRoutes(const router::Routing* old, const router::Routing& next);
  void reload();
  void tick(bool watchdog);
  std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
  bool backlightOn() override { return backlight_.on(); }
  void keyClick(int32_t kind) override { backlight_.keyClick(kind); }
  bool tellsFrames() override { return os::verboseLog(); }
  void frameSeen(uint32_t entry, int32_t channel, const uint8_t* bytes, uint32_t length, bool delivered) override;

  // Members are in start-up order, so destruction is the shutdown: the
  // threads that read a channel block or the port (power watcher's touch
  // restarts, touch, control, then the serial link) stop before the blocks,
  // the status object and the loop they use go away. The routing is made
  // before the status object, which names its channels, and its assembler
  // after it, which it counts into.
  std::string routesPath_;  // empty: ctl_rt.st beside the program
  std::optional<devices::Battery> battery_;  // absent when missing at start-up
  router::RouteTable routes_;           // the table last taken into use, the main loop's
  std::optional<os::MainLoop> loop_;    // the power tick and the stop signals
  router::RouteSwitch routing_;    // the reader's table, blocks, events and assembler
  os::StatusObject statusObject_;  // unmapped when it could not be made
  std::unique_ptr<router::StatusPublisher> publisher_;  // null without a status object
  std::unique_ptr<router::ReceiveTap> tap_;             // CRT:TAP; null when it could not be made
  router::MonitorHub monitors_;                         // CRT:MONITOR; serves none when it could not be made
  ServiceStatus status_;
  devices::RealLampAndSpeaker lampAndSpeaker_;
  devices::Backlight backlight_{lampAndSpeaker_};
  std::unique_ptr<router::SerialLink> link_;
  OnRelease linkStop_;
  devices::ControlChannel control_{backlight_};
  devices::RealTouchPlatform touchPlatform_{backlight_};
  devices::TouchInjector touch_{touchPlatform_};
  std::optional<devices::RealPowerPlatform> powerPlatform_;
  std::optional<devices::PowerWatcher> power_;
  int exitCode_ = 0;  // when start-up ends early
};

}  // namespace shub::daemon
