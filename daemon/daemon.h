// serialhub's process-wide state and its life: start-up in a fixed order,
// the main loop, and shutdown in the reverse order of what depends on what.
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
#include "platform/power_nodes.h"
#include "platform/main_loop.h"
#include "platform/status_object.h"
#include "router/channel_blocks.h"
#include "router/frame_assembler.h"
#include "router/receive_tap.h"
#include "router/route_table.h"
#include "router/serial_link.h"
#include "router/status_publisher.h"

namespace shub::daemon {

inline constexpr int kExitFailure = 1;  // a start-up failure of the machine, not the set-up
inline constexpr int kExitConfig = 78;  // EX_CONFIG: a set-up the daemon refuses to run on

// Everything the daemon holds for its lifetime. The route table is referred
// to by the assembler, so the state never moves once start-up has begun.
struct DaemonState {
  std::string routesPath;              // empty: ctl_rt.st beside the program
  os::MainLoop* loop = nullptr;        // the power tick and the stop signals
  std::optional<os::Battery> battery;  // for the power watcher; absent when missing at start-up
  router::RouteTable routes;
  router::ChannelSet channels;  // every entry's block and event
  os::StatusObject statusObject;                // CRT:STATUS; unmapped when it could not be made
  std::unique_ptr<router::StatusPublisher> publisher;  // null without a status object
  std::unique_ptr<router::FrameAssembler> assembler;
  std::unique_ptr<router::ReceiveTap> tap;  // CRT:TAP; null when it could not be made
  std::unique_ptr<router::SerialLink> link;
  ServiceStatus status;
  bool gpsDriverActive = false;  // "Drivers\GpsCom2", from the last service start to shutdown
  int exitCode = 0;  // when start-up ends early
};

// The one instance, outside the main thread's stack.
DaemonState& daemonState();

// Start-up, main loop, shutdown. Returns the exit code: 0 after a stop
// signal, kExitConfig when the route file or the objects directory cannot be
// used, kExitFailure when the loop cannot be set up. The caller has blocked
// the stop signals (os::blockStopSignals()) before any thread was started.
int runDaemon(DaemonState& state);

}  // namespace shub::daemon
