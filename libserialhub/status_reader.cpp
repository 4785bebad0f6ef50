// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Seqlock reads of channel blocks. The daemon rewrites a block at any moment;
// a copy taken while the entry's word was odd, or that changed during the
// copy, mixes two frames and is thrown away. Every access to shared bytes is
// a relaxed atomic load, and an acquire fence sits between the copy and the
// second look at the word, so the check sees any write that reached the copy.
#include "libserialhub/status_reader.h"

#include <algorithm>
#include <atomic>

#include <serialhub/protocol.h>

#include "platform/client_objects.h"

namespace shub::lib {

namespace {

template <typename Word>
Word load(const uint8_t* base, uint32_t offset, std::memory_order order = std::memory_order_relaxed) {
  return os::wordAt<Word>(base, offset).load(order);
}

uint32_t entryOffset(int entry, uint32_t member) {
  return SHUB_STATUS_ENTRY_OFFSET + static_cast<uint32_t>(entry) * SHUB_STATUS_ENTRY_SIZE + member;
}

// Eight bytes at a time where both sides allow it: the daemon stores whole
// aligned words, and a frame copy sits on the delivery rate's path.
void copyBytes(const uint8_t* from, uint8_t* buf, size_t count) {
  size_t k = 0;
  for (; k + 8 <= count; k += 8) {
    const uint64_t word = load<uint64_t>(from, static_cast<uint32_t>(k));
    __builtin_memcpy(buf + k, &word, 8);
  }
  for (; k < count; ++k) buf[k] = load<uint8_t>(from, static_cast<uint32_t>(k));
}

// Runs `copy` until `entry`'s seqlock word was even and unchanged around it;
// false when it is still odd or moving at `deadline`.
template <typename Copy>
bool underSeqlock(const uint8_t* status, int entry, os::Clock::time_point deadline, Copy copy, uint32_t& version) {
  const uint32_t versionAt = entryOffset(entry, SHUB_STATUS_ENTRY_VERSION);
  for (uint32_t attempt = 0;; ++attempt) {
    version = load<uint32_t>(status, versionAt, std::memory_order_acquire);
    if ((version & 1) == 0) {
      copy();
      std::atomic_thread_fence(std::memory_order_acquire);
      if (load<uint32_t>(status, versionAt) == version) return true;
    }
    // A write takes well under a microsecond; spinning past that means the
    // writer was descheduled, so give the processor back.
    if (attempt % 64 == 63) {
      if (os::Clock::now() >= deadline) return false;
      os::waitSharedWord(const_cast<uint32_t*>(reinterpret_cast<const uint32_t*>(status + versionAt)), version,
                         os::Clock::now() + std::chrono::milliseconds(1));
    }
  }
}

}  // namespace

bool statusReady(const uint8_t* status) {
  return load<uint32_t>(status, SHUB_STATUS_MAGIC_OFFSET, std::memory_order_acquire) == SHUB_STATUS_MAGIC &&
         load<uint32_t>(status, SHUB_STATUS_VERSION_OFFSET) == SHUB_STATUS_VERSION;
}

int findEntry(const uint8_t* status, int32_t channel) {
  const uint32_t count = std::min(load<uint32_t>(status, SHUB_STATUS_ENTRIES_OFFSET), SHUB_STATUS_ENTRY_COUNT);
  for (uint32_t i = 0; i < count; ++i) {
    if (load<int32_t>(status, entryOffset(static_cast<int>(i), SHUB_STATUS_ENTRY_CHANNEL)) == channel) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

uint64_t entrySeq(const uint8_t* status, int entry) {
  return load<uint64_t>(status, entryOffset(entry, SHUB_STATUS_ENTRY_SEQ), std::memory_order_acquire);
}

bool copyConsistent(const uint8_t* status, int entry, const uint8_t* block, uint8_t* buf, size_t cap,
                    FrameCopy& out, os::Clock::time_point deadline) {
  return underSeqlock(
      status, entry, deadline,
      [&] {
        out.channel = load<int32_t>(status, entryOffset(entry, SHUB_STATUS_ENTRY_CHANNEL));
        out.seq = load<uint64_t>(status, entryOffset(entry, SHUB_STATUS_ENTRY_SEQ));
        out.length = std::min(load<uint32_t>(block, SHUB_BLOCK_LENGTH_OFFSET), SHUB_BLOCK_DATA_SIZE);
        copyBytes(block + SHUB_BLOCK_DATA_OFFSET, buf, std::min<size_t>(out.length, cap));
      },
      out.version);
}

void copyBlock(const uint8_t* status, int entry, const uint8_t* block, uint8_t* out, os::Clock::time_point deadline) {
  const auto whole = [&] { copyBytes(block, out, SHUB_BLOCK_SIZE); };
  uint32_t version = 0;
  if (entry < 0 || !underSeqlock(status, entry, deadline, whole, version)) whole();
}

uint32_t copyPlain(const uint8_t* block, uint8_t* buf, size_t cap) {
  const uint32_t length = std::min(load<uint32_t>(block, SHUB_BLOCK_LENGTH_OFFSET), SHUB_BLOCK_DATA_SIZE);
  copyBytes(block + SHUB_BLOCK_DATA_OFFSET, buf, std::min<size_t>(length, cap));
  return length;
}

}  // namespace shub::lib
