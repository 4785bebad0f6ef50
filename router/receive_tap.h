// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The daemon's raw receive tap: the named object CRT:TAP, made in
// $CE_OBJECTS like every other object and mapped for the daemon's life, with
// the ring writer the serial reader appends to (see tap_ring.h).
//
// It must survive a file of the wrong size under its name (the daemon then
// runs without a tap, which is said once) and an object left by an earlier
// daemon (its positions go on, so a recorder that outlives a restart keeps up).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/named_objects.h"
#include "router/tap_ring.h"

namespace shub::router {

struct ReceiveTap {
  os::Block block;
  std::unique_ptr<TapWriter> writer;
};

// Opens or creates CRT:TAP and sets its ring up; null with `problem` naming
// the object when it cannot be had.
std::unique_ptr<ReceiveTap> openReceiveTap(std::string* why);

// Microseconds on the clock the tap's records carry (CLOCK_MONOTONIC).
uint64_t tapClockUs();

}  // namespace shub::router
