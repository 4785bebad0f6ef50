// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Start-up and shutdown of serialhub. The order is the point: the channel
// events exist before any service opens them, the serial reader starts only
// once the blocks it feeds exist, and at shutdown every thread that reads a
// block or the port is stopped before what it reads is released.
#include "daemon/daemon.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <serialhub/protocol.h>

#include "platform/paths.h"
#include "platform/pointer.h"
#include "router/channel_blocks.h"
#include "router/hex_text.h"
#include "router/threads.h"

namespace shub::daemon {

void Daemon::frameSeen(uint32_t, int32_t channel, const uint8_t* bytes, uint32_t length, bool delivered) {
  os::logDebug("CRT%d: %s%s", channel, delivered ? "" : "dropped while dark: ", router::hexText(bytes, length).c_str());
}

bool Daemon::loadRoutes(router::RouteTable& table, uint32_t* refusedLines) const {
  return routesPath_.empty() ? router::loadRouteTable(table, refusedLines)
                             : router::loadRouteTableFrom(table, routesPath_.c_str(), stdout, refusedLines);
}

// A table's blocks and events; its assembler comes once the status object is there.
std::unique_ptr<router::Routing> Daemon::routingFor(const router::RouteTable& table, const router::RouteTable* inUse) {
  auto routing = std::make_unique<router::Routing>();
  routing->table = table;
  routing->channels = router::ChannelSet(routing->table, inUse);
  return routing;
}

void Daemon::attachAssembler(router::Routing& routing) {
  routing.assembler = std::make_unique<router::FrameAssembler>(
      routing.table, routing.channels, static_cast<router::FrameAssemblerHooks&>(*this), publisher_.get(), &monitors_);
}

// On the serial reader, between two reads: the status object takes the new
// table's layout. The first table found it laid out at start-up.
void Daemon::switchRoutes(const router::Routing* old, const router::Routing& next) {
  if (old == nullptr) return;
  const bool cut = old->assembler->inFrame();
  if (publisher_) {
    int32_t channels[router::kRouteTableSize] = {};
    const uint32_t count = std::min(next.table.count, router::kRouteTableSize);
    for (uint32_t i = 0; i < count; ++i) channels[i] = next.table.entries[i].channel;
    publisher_->reroute(channels, count);
    publisher_->reloaded(cut);
  }
  if (cut) os::logInfo("routes reloaded: the frame being collected was dropped");
}

// All or nothing: a file with a refused line would leave some channel dead
// on a running device, so the table in use stays, as it does for an unreadable one.
void Daemon::reload() {
  os::notifyReloading();
  router::RouteTable next;
  uint32_t refused = 0;
  if (!loadRoutes(next, &refused) || refused > 0) {
    os::logError("route file not reloaded: %s; the %u routes in use are kept",
                 refused > 0 ? "it has refused lines" : "it cannot be read", routes_.count);
  } else {
    std::unique_ptr<router::Routing> routing = routingFor(next, &routes_);
    attachAssembler(*routing);
    routing_.offer(std::move(routing));
    monitors_.route(next);
    routes_ = next;
    os::logInfo("routes reloaded: %u in use from the next read of the line", next.count);
  }
  os::notifyServiceManager("READY=1");
}

void Daemon::startSerial() {
  router::TapWriter* tap = tap_ ? tap_->writer.get() : nullptr;
  link_ = std::make_unique<router::SerialLink>(router::SerialLinkDeps{
      .openPort =
          [this](os::PortOpenReport& report) {
            std::unique_ptr<os::SerialPort> port = router::openComPort(report);
            if (port && publisher_) publisher_->portOpened();
            return port;
          },
      .portState = [this](const std::string& text) { status_.setPort(text); },
      .hungUp =
          [this, tap] {
            if (publisher_) publisher_->hungUp();
            if (tap) tap->hangUp(router::tapClockUs());
          },
      // The tap is written after the assembler, so a reader that sees a read
      // in it also sees the frames that read completed.
      .feedBytes =
          [this, tap](uint32_t count, const uint8_t* bytes) {
            const uint64_t arrived = tap ? router::tapClockUs() : 0;
            monitors_.lineRead();
            routing_.forRead([this](const router::Routing* old, const router::Routing& next) {
              switchRoutes(old, next);
            })->assembler->feedBytes(count, bytes);
            if (tap) tap->append(arrived, bytes, count);
          },
  });
  link_->startSerialLink();  // without a port or write block it runs on
  // A reader that would not stop still uses what the daemon holds: the process
  // ends at once then, without the destructors that would pull it from under it.
  linkStop_.release = [this] {
    if (!link_->stopSerialLink()) std::_Exit(0);
  };
}

// Made after the channel blocks, so that it names their channels. Without it
// the daemon runs on: only watchers and counters are lost, which is said once.
void Daemon::startStatus() {
  std::string problem;
  if (!statusObject_.open(&problem)) {
    os::logError("%s", problem.c_str());
    return;
  }
  int32_t channels[router::kRouteTableSize] = {};
  const uint32_t count = std::min(routes_.count, router::kRouteTableSize);
  for (uint32_t i = 0; i < count; ++i) channels[i] = routes_.entries[i].channel;
  publisher_ = std::make_unique<router::StatusPublisher>(statusObject_.data());
  publisher_->initialise(channels, count);
  publisher_->setBacklight(backlight_.on());
}

// Fixed points 50 ms apart, once the channel events exist.
void Daemon::startDeviceServices() {
  constexpr std::chrono::milliseconds kServiceGap{50};
  router::pauseFor(kServiceGap);
  backlight_.assume(true);  // taken to be on; no code is sent
  control_.start();
  router::pauseFor(kServiceGap);
  os::preparePointerDevice();  // a uinput mouse must exist before the first touch
  touch_.start();
  router::pauseFor(kServiceGap);
  powerPlatform_.emplace(battery_, touch_);
  power_.emplace(*powerPlatform_, backlight_);
}

// The raw receive tap; without it the daemon runs on untapped, said once.
void Daemon::startTap() {
  std::string problem;
  tap_ = router::openReceiveTap(&problem);
  if (!tap_) os::logError("%s", problem.c_str());
}

// Monitors; without the socket the daemon runs on without them, said once.
void Daemon::startMonitors() {
  if (std::string why; !monitors_.open(&why)) os::logError("%s", why.c_str());
}

// Start-up ends early with `code`; `line`, when given, says why.
bool Daemon::endStart(int code, const std::string& line) {
  if (!line.empty()) os::logError("%s", line.c_str());
  exitCode_ = code;
  return false;
}

bool Daemon::start() {
  battery_ = devices::findBattery();  // absent is fine: the power watcher never transitions
  if (!loadRoutes(routes_)) return endStart(kExitConfig);  // said by the loader
  if (std::string why; !os::prepareObjectsDirectory(&why)) {
    return endStart(kExitConfig, "objects directory " + why);
  }
  // Before anything shutdown releases: without it the daemon can't be stopped.
  if (!loop_.emplace(devices::kPowerTickPeriod).valid()) return endStart(kExitFailure);
  std::unique_ptr<router::Routing> routing = routingFor(routes_, nullptr);
  startStatus();
  attachAssembler(*routing);
  routing_.offer(std::move(routing));
  startTap();
  monitors_.route(routes_);
  startMonitors();
  startSerial();
  startDeviceServices();
  return true;
}

// The loop's only work, once a second: the power watcher, the status line and
// object (the backlight as of this tick), and the watchdog's proof of life.
void Daemon::tick(bool watchdog) {
  power_->tick();
  const bool onMains = power_->onMains();
  status_.setPower(onMains ? "on mains" : "on battery");
  if (publisher_) {
    publisher_->setPower(onMains ? SHUB_STATUS_POWER_MAINS : SHUB_STATUS_POWER_BATTERY);
    publisher_->setBacklight(backlight_.on());
  }
  if (watchdog) os::notifyServiceManager("WATCHDOG=1");
}

int Daemon::run() {
  if (!start()) return exitCode_;
  os::notifyServiceManager("READY=1");
  const bool watchdog = os::watchdogRequested();
  loop_->run({.tick = [this, watchdog] { tick(watchdog); },
              .reload = [this] { reload(); },
              .watched = monitors_.readinessFd(),
              .readable = [this] { monitors_.serve(); }});  // until a stop signal
  os::notifyServiceManager("STOPPING=1");
  os::logInfo("stopping");
  return 0;
}

}  // namespace shub::daemon
