// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The raw receive tap's ring (object CRT:TAP, layout in serialhub/protocol.h):
// the serial reader appends every read with its arrival time, and any number
// of recorders copy what came since their last look, without disturbing the
// daemon or each other.
//
// The writer pays one copy into the ring and a few stores per read, never a
// lock or a system call; it never waits for a reader. A reader that falls a
// whole ring behind, or whose copy the writer overtook, loses that stretch
// and is told how many line bytes it missed. A damaged object (any header or
// record contents) gives at worst skipped records: every access stays inside
// the ring. Plain memory and atomics only, so tests and the benchmark use
// private memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include <serialhub/protocol.h>

namespace shub::router {

// One record as a reader sees it.
struct TapRecord {
  uint64_t timeUs = 0;             // CLOCK_MONOTONIC microseconds of the read
  uint32_t kind = SHUB_TAP_READ;   // SHUB_TAP_READ or SHUB_TAP_HANGUP
  uint32_t count = 0;              // bytes read
  uint64_t missed = 0;             // line bytes lost just before this record
  uint8_t bytes[SHUB_BLOCK_DATA_SIZE] = {};
};

// The serial reader's side. One writer thread at a time.
class TapWriter {
 public:
  // `object`: SHUB_TAP_SIZE bytes, 8-byte aligned. Goes on from the head and
  // line position an earlier daemon left in it; stores the magic last.
  explicit TapWriter(uint8_t* object);

  // A read of `count` bytes (1 to 260; more are cut to 260).
  void append(uint64_t timeUs, const uint8_t* bytes, uint32_t count) { put(timeUs, SHUB_TAP_READ, bytes, count); }
  void hangUp(uint64_t timeUs) { put(timeUs, SHUB_TAP_HANGUP, nullptr, 0); }

 private:
  void put(uint64_t timeUs, uint16_t kind, const uint8_t* bytes, uint32_t count);

  uint8_t* object_;
  uint64_t head_ = 0;  // this thread's copy of the shared head
  uint64_t line_ = 0;  // and of the line position
};

// A recorder's side.
class TapReader {
 public:
  // `object`: SHUB_TAP_SIZE bytes, 8-byte aligned. Starts at the current head:
  // only reads that come after this are seen.
  explicit TapReader(const uint8_t* object);

  // True when a daemon has set the object up (magic, version and size).
  static bool ready(const uint8_t* object);

  // Replaces `out` with the records written since the last call, in order.
  // Line bytes the reader lost (it fell a ring behind, or its copy was
  // overtaken) are told in the `missed` of the next record it gets.
  void poll(std::vector<TapRecord>& out);

  // The last look: the records up to one moment, and what the line carried
  // after the last of them that no record showed (a stretch lost that no
  // record has told yet). With poll's `missed`, every line byte since the
  // reader began is either in a record or counted.
  uint64_t finish(std::vector<TapRecord>& out);

  // Bytes the daemon has read from the line and handed on, since it made the
  // object. Stored after the frames those bytes completed were delivered.
  uint64_t lineBytes() const;

 private:
  // The head and the line position of one moment; false when the writer
  // kept a record under way throughout.
  bool snapshot(uint64_t& head, uint64_t& line) const;
  void pollTo(uint64_t head, uint64_t line, std::vector<TapRecord>& out);
  void parse(uint64_t from, uint64_t to, uint64_t line, std::vector<TapRecord>& out);

  const uint8_t* object_;
  uint64_t position_ = 0;         // ring position of the next record to read
  bool haveLine_ = false;         // expectedLine_ is known
  uint64_t expectedLine_ = 0;     // line position the next record should start at
  std::vector<uint64_t> copy_;    // the ring words of one poll
};

}  // namespace shub::router
