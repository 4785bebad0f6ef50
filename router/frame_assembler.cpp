// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The frame assembler's state machine, one byte at a time, no time-outs.
// Searching, the received bytes are a window whose tail is compared with the
// headers; collecting, they are the frame so far, which ends when its length
// is reached (delivered) or passed (discarded). It runs for every byte on the
// serial reader: no allocation and no system call per byte.
#include "router/frame_assembler.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

namespace shub::router {

namespace {
constexpr uint8_t kCr = 13;
constexpr uint8_t kLf = 10;

template <typename Word>
Word load(const uint8_t* bytes) {
  Word word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Headers are short: a plain loop beats memcmp; the last byte already matched.
bool tailMatches(const uint8_t* tail, const uint8_t* header, uint32_t n) {
  for (uint32_t k = n - 1; k-- > 0;) {
    if (tail[k] != header[k]) return false;
  }
  return true;
}

// The received length at which collect() is next needed: every byte while the
// length is learned, else the length, but no later than outgrowing the data area.
uint32_t nextLook(int32_t configured) {
  const auto frameLength = static_cast<uint32_t>(configured);  // negative: huge
  return frameLength == 0 ? 0 : std::min(frameLength, FrameAssembler::kMaxFrame + 1);
}
}  // namespace

FrameAssembler::FrameAssembler(const RouteTable& table, FrameOutlets& outlets, FrameAssemblerHooks& hooks,
                               StatusPublisher* status, FrameListener* listener)
    : outlets_(outlets), hooks_(hooks), status_(status), listener_(listener), tellFrames_(hooks.tellsFrames()) {
  for (uint32_t i = 0; i < std::min(table.count, kRouteTableSize); ++i) {
    channel_[i] = table.entries[i].channel;
    frameLength_[i] = table.entries[i].frameLength;
    relearn_[i] = table.entries[i].relearn != 0;
    const uint32_t n = headerLength(table.entries[i]);
    // An empty header would match before any byte, and one longer than the
    // data area starts frames that can never be delivered: left out.
    if (n == 0 || n > kMaxFrame) continue;
    headerLength_[i] = n;
    windowKeep_ = std::max(windowKeep_, n - 1);
    for (uint32_t k = 0; k < n; ++k) header_[i][k] = headerByte(table.entries[i], k);
    const auto bit = static_cast<uint16_t>(1u << i);
    candidates_[header_[i][n - 1]] |= bit;
    if (n == 1) {
      oneByteHeaders_ |= bit;
      for (uint16_t& before : beforeLast_) before |= bit;
    } else {
      beforeLast_[header_[i][n - 2]] |= bit;
    }
  }
}

void FrameAssembler::feedBytes(uint32_t count, const uint8_t* bytes) {
  for (uint32_t i = 0; i < count; ++i) feedByte(bytes[i]);
}

void FrameAssembler::feedByte(uint8_t byte) {
  // received_ is at most kMaxFrame here, so the append stays inside buffer_.
  buffer_[received_++] = byte;
  if (current_ < 0 && candidates_[byte] != 0) searchHeaders(byte);
  if (current_ >= 0 && received_ >= pendingLength_) collect();
  // Only a search window gets here: collect() ends a frame that outgrows it.
  if (received_ > kMaxFrame) restartWindow();
}

// Keeps the window's tail that may still be the start of a header: clearing it
// all would lose any frame whose header arrives across the reset.
void FrameAssembler::restartWindow() {
  const uint32_t keep = std::min(windowKeep_, received_);
  if (status_ != nullptr) status_->noiseSkipped(received_ - keep);
  std::memmove(buffer_, buffer_ + received_ - keep, keep);
  received_ = keep;
}

// Entries are tried in table order and every match rebuilds the buffer as that
// entry's header alone, so a later entry whose header equals or is a suffix of
// the one just matched takes the frame over: the last match wins.
void FrameAssembler::searchHeaders(uint8_t byte) {
  uint32_t mask = candidates_[byte];
  // Longer headers need the byte before to fit too. The rebuilt buffer keeps
  // the tail it replaced, so the filter holds for the whole loop.
  mask &= received_ >= 2 ? beforeLast_[buffer_[received_ - 2]] : oneByteHeaders_;
  while (mask != 0) {
    const uint32_t i = static_cast<uint32_t>(std::countr_zero(mask));
    mask &= mask - 1;
    const uint32_t n = headerLength_[i];
    if (received_ < n || !tailMatches(buffer_ + received_ - n, header_[i], n)) continue;
    // Bytes before the header are noise; a later match is a suffix of this one.
    if (status_ != nullptr && current_ < 0) status_->noiseSkipped(received_ - n);
    for (uint32_t k = 0; k < n; ++k) buffer_[k] = header_[i][k];
    received_ = n;
    current_ = static_cast<int32_t>(i);
    pendingLength_ = nextLook(frameLength_[i]);
  }
}

void FrameAssembler::collect() {
  const auto index = static_cast<uint32_t>(current_);
  int32_t& learned = frameLength_[index];
  const uint32_t length = received_;
  // A CR LF is learned only while the frame still fits the data area.
  if (learned == 0 && length >= 2 && length <= kMaxFrame && buffer_[length - 2] == kCr && buffer_[length - 1] == kLf) {
    learned = static_cast<int32_t>(length);
  }
  // Compared unsigned: a negative configured length is a huge one.
  const auto frameLength = static_cast<uint32_t>(learned);
  if (length > kMaxFrame) {
    // Too long for the data area (or no CR LF in time): search again.
    if (status_ != nullptr) status_->overlongDiscarded();
  } else if (frameLength == 0 || frameLength > length) {
    return;  // still collecting
  } else if (frameLength == length) {
    deliver(index);
  }  // else a length shorter than the header: discarded
  endFrame(index);
}

void FrameAssembler::endFrame(uint32_t index) {
  received_ = 0;
  current_ = -1;
  if (relearn_[index]) frameLength_[index] = 0;
}

void FrameAssembler::deliver(uint32_t index) {
  if (index == 0 && !hooks_.backlightOn()) {
    dropInDark();
    return;
  }
  uint8_t* block = outlets_.block(index);
  if (block == nullptr) return;  // the entry got no block: it receives nothing
  const uint32_t length = received_;
  // Consumers look only after the event (set last) and watchers only after
  // the seqlock closes, so the data area is written once, not cleared first.
  if (status_ != nullptr) status_->beginBlockWrite(index);
  writeDataArea(block, length);
  storeBlockLength(block, length);
  const uint64_t seq = status_ != nullptr ? status_->endFrame(index, length) : 0;
  outlets_.signal(index);
  if (listener_ != nullptr) listener_->delivered(channel_[index], seq, buffer_, length);
  if (tellFrames_) hooks_.frameSeen(index, channel_[index], buffer_, length, true);
}

// The frame and zeros after it. 260 byte stores would cost more than the rest
// of a short frame's handling, so an 8-aligned block (every mapping is) takes
// relaxed atomic 8-byte stores, the word holding the frame's end zeroed past it.
void FrameAssembler::writeDataArea(uint8_t* block, uint32_t length) {
  if (reinterpret_cast<uintptr_t>(block) % 8 != 0) {
    storeBlockBytes(block, SHUB_BLOCK_DATA_OFFSET, buffer_, length);
    fillBlockBytes(block, SHUB_BLOCK_DATA_OFFSET + length, 0, SHUB_BLOCK_DATA_SIZE - length);
    return;
  }
  uint8_t* data = block + SHUB_BLOCK_DATA_OFFSET;
  static_assert(SHUB_BLOCK_DATA_OFFSET % 8 == 0 && SHUB_BLOCK_DATA_SIZE % 8 == 4 && sizeof buffer_ >= SHUB_BLOCK_DATA_SIZE + 8);
  constexpr uint32_t kWholeWords = SHUB_BLOCK_DATA_SIZE - 4;
  const auto store64 = [data](uint32_t at, uint64_t word) {
    os::wordAt<uint64_t>(data, at).store(word, std::memory_order_relaxed);
  };
  std::memset(buffer_ + length, 0, 8);
  uint32_t k = 0;
  for (; k < std::min(length, kWholeWords); k += 8) store64(k, load<uint64_t>(buffer_ + k));
  for (; k < kWholeWords; k += 8) store64(k, 0);
  const uint32_t last = length > kWholeWords ? load<uint32_t>(buffer_ + kWholeWords) : 0;
  os::wordAt(data, kWholeWords).store(last, std::memory_order_relaxed);
}

// Entry 0 (touch) while dark: the frame is lost and the user hears a click
// instead, at most one per 1200 ms of frames.
void FrameAssembler::dropInDark() {
  if (tellFrames_) hooks_.frameSeen(0, channel_[0], buffer_, received_, false);
  if (clickArmed_) {
    clickTime_ = hooks_.now();
    hooks_.keyClick(2);
    clickArmed_ = false;
  } else if (hooks_.now() - clickTime_ > kClickGate) {
    clickArmed_ = true;  // re-armed silently: the next frame clicks
  }
  if (status_ != nullptr) status_->droppedInDark();
  uint8_t* block = outlets_.block(0);
  if (block == nullptr) return;
  if (status_ != nullptr) status_->beginBlockWrite(0);
  fillBlockBytes(block, SHUB_BLOCK_DATA_OFFSET, 0, SHUB_BLOCK_DATA_SIZE);
  if (status_ != nullptr) status_->endBlockClear(0);
}

}  // namespace shub::router
