// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The daemon's monitor socket CRT:MONITOR (protocol in serialhub/protocol.h):
// monitors subscribe to channels and get every frame delivered to them as one
// datagram, in delivery order, stamped with the moment its last byte was read.
//
// Subscriptions are served on the main loop; frames go out on the serial
// reader. With no monitor subscribed a frame costs one atomic load: no lock,
// no clock, no system call. A monitor whose queue is full loses the frame
// (its sequence numbers show the gap), so no monitor ever holds up the line.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/seqpacket.h"
#include "router/channel_blocks.h"
#include "router/route_table.h"

namespace shub::router {

class MonitorHub final : public FrameListener {
 public:
  // Serves the channels of `table`; on the main loop, like serve().
  void route(const RouteTable& table) { table_ = table; }

  // Listens on CRT:MONITOR; false with `why` when it cannot.
  bool open(std::string* why);
  // For the main loop: readable while a monitor connects, asks or leaves; -1 when closed.
  int readinessFd() const { return listener_.valid() ? readiness_.fd() : -1; }
  // On the main loop, when readinessFd() is readable.
  void serve();

  // On the serial reader: a read of the line returned, so frames it ends are stamped now.
  void lineRead();
  void delivered(int32_t channel, uint64_t seq, const uint8_t* bytes, uint32_t length) override;

  uint32_t subscribed() const { return subscribed_.load(std::memory_order_relaxed); }

 private:
  struct Monitor {
    os::Socket socket;
    bool subscribed = false;
    bool everyChannel = false;
    std::vector<int32_t> channels;
    bool wants(int32_t channel) const;
  };

  void acceptWaiting();
  void hear(int fd);
  int subscribe(Monitor& monitor, const uint8_t* request, size_t size) const;
  void drop(int fd);
  void rest();
  void stampNow();

  RouteTable table_;  // the main loop's
  os::Socket listener_;
  os::Readiness readiness_;
  std::mutex mutex_;  // monitors_: changed on the main loop, sent to on the serial reader
  std::vector<Monitor> monitors_;
  std::atomic<uint32_t> subscribed_{0};
  bool resting_ = false;  // the listener is out of the readiness set: no descriptor was left
  // The serial reader's own: when the last read returned, or not taken.
  bool stamped_ = false;
  int64_t time_ = 0, mono_ = 0;
};

}  // namespace shub::router
