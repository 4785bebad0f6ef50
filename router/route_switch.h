// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A route table in use by the serial reader, with its channels' objects and
// its assembler, and the hand-over to a reloaded one. The reader takes a new
// table between two reads, so no frame is cut into two tables' pieces: one
// being collected at the switch is dropped, and the switch says so.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "router/channel_blocks.h"
#include "router/frame_assembler.h"
#include "router/route_table.h"

namespace shub::router {

struct Routing {
  RouteTable table;
  ChannelSet channels;
  std::unique_ptr<FrameAssembler> assembler;  // made over `table` and `channels`, once they are in place
};

class RouteSwitch {
 public:
  // Any thread: `next` is taken at the reader's next read; an earlier offer
  // not taken yet is dropped unused.
  void offer(std::unique_ptr<Routing> next);

  // The reader, before each read is fed: the routing to feed it to. When an
  // offer is taken, `onSwitch(old, next)` runs first (old is null the first time).
  // A template, so the read path builds no std::function.
  template <typename OnSwitch>
  Routing* forRead(OnSwitch&& onSwitch) {
    if (offered_.load(std::memory_order_acquire)) {
      std::unique_ptr<Routing> next = take();
      if (next) {
        onSwitch(static_cast<const Routing*>(current_.get()), *next);
        current_ = std::move(next);  // the old routing goes here, on the reader, which alone used it
      }
    }
    return current_.get();
  }

 private:
  std::unique_ptr<Routing> take();

  std::atomic<bool> offered_{false};
  std::mutex mutex_;                 // guards next_
  std::unique_ptr<Routing> next_;
  std::unique_ptr<Routing> current_;  // the reader's own
};

}  // namespace shub::router
