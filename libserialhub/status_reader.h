// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The reader's half of the status object CRT:STATUS (layout in
// serialhub/protocol.h): finding a channel's entry, its sequence number, and
// copying its block under the entry's seqlock so that a copy is never torn.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/client_objects.h"

namespace shub::lib {

// True when the object carries the magic and a version this reader knows.
bool statusReady(const uint8_t* status);

// Index of the entry that keeps `channel`'s sequence number (its first); -1 when none.
int findEntry(const uint8_t* status, int32_t channel);
uint64_t entrySeq(const uint8_t* status, int entry);

struct FrameCopy {
  uint32_t length = 0;   // the frame's length, at most 260; at most `cap` bytes were copied
  uint64_t seq = 0;      // the sequence number of the frame copied
  uint32_t version = 0;  // the seqlock word around the copy: a new frame changes it
  int32_t channel = 0;   // the entry's channel at the copy: a reload may give the entry another
};

// Copies the frame of `block` while `entry`'s seqlock stays even and
// unchanged around the copy, trying again otherwise. False when the word is
// still odd or moving at `deadline`, which only a daemon
// stopped in the middle of a write, or another process writing the word, causes.
bool copyConsistent(const uint8_t* status, int entry, const uint8_t* block, uint8_t* buf, size_t cap,
                    FrameCopy& out, os::Clock::time_point deadline);

// The whole block (SHUB_BLOCK_SIZE bytes) into `out`, under `entry`'s seqlock
// as copyConsistent() while it can be had, else (and for entry -1) as it is.
void copyBlock(const uint8_t* status, int entry, const uint8_t* block, uint8_t* out, os::Clock::time_point deadline);

// A copy with no seqlock, for channels the status object does not list.
uint32_t copyPlain(const uint8_t* block, uint8_t* buf, size_t cap);

}  // namespace shub::lib
