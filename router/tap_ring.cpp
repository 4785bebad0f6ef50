// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The tap ring's writer and reader. Every shared byte moves as an aligned
// 8-byte relaxed atomic word (records start at multiples of 8 and the ring's
// size is a multiple of 8, so no word straddles the end); the order of the
// claim, the record and the head is what makes a copy checkable, as in a
// seqlock. Words are little-endian, as the object's layout is.
#include "router/tap_ring.h"

#include <algorithm>
#include <cstring>

#include "platform/client_objects.h"

namespace shub::router {

namespace {

// The header's 64-bit words at multiples of 8, alike on every target, and
// records whose 64-bit time sits at a multiple of 8 too.
static_assert(SHUB_TAP_RING_SIZE_OFFSET + 4 <= SHUB_TAP_HEAD_OFFSET && SHUB_TAP_HEAD_OFFSET % 8 == 0 &&
              SHUB_TAP_CLAIM_OFFSET == SHUB_TAP_HEAD_OFFSET + 8 && SHUB_TAP_LINE_OFFSET == SHUB_TAP_CLAIM_OFFSET + 8 &&
              SHUB_TAP_LINE_OFFSET + 8 <= SHUB_TAP_HEADER_SIZE && SHUB_TAP_HEADER_SIZE % 8 == 0);
static_assert(SHUB_TAP_RECORD_TIME == 0 && SHUB_TAP_RECORD_HEADER_SIZE % 8 == 0 &&
              SHUB_TAP_RECORD_LINE + 4 == SHUB_TAP_RECORD_HEADER_SIZE);

constexpr uint64_t kRingMask = SHUB_TAP_RING_SIZE - 1;
static_assert((SHUB_TAP_RING_SIZE & kRingMask) == 0, "the ring's size is a power of two");

using os::wordAt;

template <typename Word>
Word load(const uint8_t* object, uint32_t offset, std::memory_order order) {
  return wordAt<Word>(object, offset).load(order);
}

// The ring word at ring position `position`; the mask keeps any position,
// even one read from a damaged header, inside the ring and aligned.
uint32_t ringOffset(uint64_t position) {
  return SHUB_TAP_HEADER_SIZE + static_cast<uint32_t>(position & kRingMask & ~uint64_t{7});
}

uint32_t paddedSize(uint32_t count) { return SHUB_TAP_RECORD_HEADER_SIZE + ((count + 7) & ~7u); }

}  // namespace

TapWriter::TapWriter(uint8_t* object) : object_(object) {
  wordAt<uint32_t>(object_, SHUB_TAP_MAGIC_OFFSET).store(0, std::memory_order_relaxed);
  head_ = (wordAt<uint64_t>(object_, SHUB_TAP_HEAD_OFFSET).load(std::memory_order_relaxed) + 7) & ~uint64_t{7};
  line_ = wordAt<uint64_t>(object_, SHUB_TAP_LINE_OFFSET).load(std::memory_order_relaxed);
  wordAt<uint64_t>(object_, SHUB_TAP_HEAD_OFFSET).store(head_, std::memory_order_relaxed);
  wordAt<uint64_t>(object_, SHUB_TAP_CLAIM_OFFSET).store(head_, std::memory_order_relaxed);
  wordAt<uint32_t>(object_, SHUB_TAP_VERSION_OFFSET).store(SHUB_TAP_VERSION, std::memory_order_relaxed);
  wordAt<uint32_t>(object_, SHUB_TAP_RING_SIZE_OFFSET).store(SHUB_TAP_RING_SIZE, std::memory_order_relaxed);
  wordAt<uint32_t>(object_, SHUB_TAP_MAGIC_OFFSET).store(SHUB_TAP_MAGIC, std::memory_order_release);
}

void TapWriter::put(uint64_t timeUs, uint16_t kind, const uint8_t* bytes, uint32_t count) {
  count = std::min(count, SHUB_BLOCK_DATA_SIZE);
  const uint64_t end = head_ + paddedSize(count);
  wordAt<uint64_t>(object_, SHUB_TAP_CLAIM_OFFSET).store(end, std::memory_order_relaxed);
  // The claim must be visible before any ring byte it covers changes.
  std::atomic_thread_fence(std::memory_order_release);
  const uint64_t second = count | uint64_t{kind} << 16 | (line_ & 0xFFFFFFFFu) << 32;
  wordAt<uint64_t>(object_, ringOffset(head_)).store(timeUs, std::memory_order_relaxed);
  wordAt<uint64_t>(object_, ringOffset(head_ + 8)).store(second, std::memory_order_relaxed);
  uint64_t at = head_ + SHUB_TAP_RECORD_HEADER_SIZE;
  for (uint32_t k = 0; k < count; k += 8, at += 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes + k, std::min(8u, count - k));
    wordAt<uint64_t>(object_, ringOffset(at)).store(word, std::memory_order_relaxed);
  }
  head_ = end;
  line_ += count;
  wordAt<uint64_t>(object_, SHUB_TAP_LINE_OFFSET).store(line_, std::memory_order_release);
  wordAt<uint64_t>(object_, SHUB_TAP_HEAD_OFFSET).store(head_, std::memory_order_release);
}

TapReader::TapReader(const uint8_t* object) : object_(object) {
  uint64_t line = 0;
  haveLine_ = snapshot(position_, line);
  expectedLine_ = line;
}

bool TapReader::snapshot(uint64_t& head, uint64_t& line) const {
  // A claim equal to the head on both sides of the line load means no record
  // was under way then (the writer stores its claim before its line position).
  for (int attempt = 0; attempt < 1000; ++attempt) {
    head = load<uint64_t>(object_, SHUB_TAP_HEAD_OFFSET, std::memory_order_acquire);
    line = load<uint64_t>(object_, SHUB_TAP_LINE_OFFSET, std::memory_order_acquire);
    const uint64_t claim = load<uint64_t>(object_, SHUB_TAP_CLAIM_OFFSET, std::memory_order_relaxed);
    if (claim == head && load<uint64_t>(object_, SHUB_TAP_HEAD_OFFSET, std::memory_order_relaxed) == head) return true;
  }
  return false;
}

bool TapReader::ready(const uint8_t* object) {
  return load<uint32_t>(object, SHUB_TAP_MAGIC_OFFSET, std::memory_order_acquire) == SHUB_TAP_MAGIC &&
         load<uint32_t>(object, SHUB_TAP_VERSION_OFFSET, std::memory_order_relaxed) == SHUB_TAP_VERSION &&
         load<uint32_t>(object, SHUB_TAP_RING_SIZE_OFFSET, std::memory_order_relaxed) == SHUB_TAP_RING_SIZE;
}

uint64_t TapReader::lineBytes() const {
  return load<uint64_t>(object_, SHUB_TAP_LINE_OFFSET, std::memory_order_acquire);
}

void TapReader::poll(std::vector<TapRecord>& out) {
  const uint64_t head = load<uint64_t>(object_, SHUB_TAP_HEAD_OFFSET, std::memory_order_acquire);
  // Stored before that head, so at or past every record below it.
  const uint64_t line = load<uint64_t>(object_, SHUB_TAP_LINE_OFFSET, std::memory_order_acquire);
  pollTo(head, line, out);
}

uint64_t TapReader::finish(std::vector<TapRecord>& out) {
  uint64_t head = 0, line = 0;
  if (!snapshot(head, line)) {
    // A writer never idle: the line may then also count a read that comes
    // after this head, which the recording does not hold either.
    head = load<uint64_t>(object_, SHUB_TAP_HEAD_OFFSET, std::memory_order_acquire);
    line = load<uint64_t>(object_, SHUB_TAP_LINE_OFFSET, std::memory_order_acquire);
  }
  pollTo(head, line, out);
  const uint64_t unseen = haveLine_ && line > expectedLine_ ? line - expectedLine_ : 0;
  haveLine_ = true;
  expectedLine_ = line;
  return unseen;
}

void TapReader::pollTo(uint64_t head, uint64_t line, std::vector<TapRecord>& out) {
  out.clear();
  const uint64_t from = position_;
  position_ = head;
  // Behind by more than the ring, or a head that went back (a damaged or
  // remade object): that stretch is gone; the next record's line position
  // tells how much of the line it held.
  if (head <= from || head - from > SHUB_TAP_RING_SIZE || (head - from) % 8 != 0) return;
  copy_.resize((head - from) / 8);
  for (size_t i = 0; i < copy_.size(); ++i) {
    copy_[i] = load<uint64_t>(object_, ringOffset(from + 8 * i), std::memory_order_relaxed);
  }
  // Pairs with the writer's fence after its claim: any word above that came
  // from a later record makes the claim below show it.
  std::atomic_thread_fence(std::memory_order_acquire);
  const uint64_t claim = load<uint64_t>(object_, SHUB_TAP_CLAIM_OFFSET, std::memory_order_relaxed);
  if (claim - from > SHUB_TAP_RING_SIZE) return;  // overtaken while copying
  parse(from, head, line, out);
}

void TapReader::parse(uint64_t from, uint64_t to, uint64_t line, std::vector<TapRecord>& out) {
  const size_t words = static_cast<size_t>((to - from) / 8);
  for (size_t at = 0; at + 2 <= words;) {
    const uint64_t second = copy_[at + 1];
    TapRecord record;
    record.timeUs = copy_[at];
    record.count = static_cast<uint32_t>(second & 0xFFFF);
    record.kind = static_cast<uint32_t>(second >> 16 & 0xFFFF);
    const size_t size = paddedSize(record.count) / 8;
    if (record.count > SHUB_BLOCK_DATA_SIZE || record.kind > SHUB_TAP_HANGUP || at + size > words) return;
    std::memcpy(record.bytes, &copy_[at + 2], record.count);
    // A record keeps the low 32 bits of its line position; it lies at most a
    // ring behind `line`, so the nearest position at or below `line` with
    // those bits is its own, and a stretch lost of 4 GiB or more is told whole.
    const auto low = static_cast<uint32_t>(second >> 32);
    const uint64_t start = line - static_cast<uint32_t>(static_cast<uint32_t>(line) - low);
    if (haveLine_ && start > expectedLine_) record.missed = start - expectedLine_;
    haveLine_ = true;
    expectedLine_ = start + record.count;
    out.push_back(record);
    at += size;
  }
}

}  // namespace shub::router
