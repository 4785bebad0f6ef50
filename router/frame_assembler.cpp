// The frame assembler's state machine: one byte at a time, no time-outs.
// Searching, the received bytes are a window whose tail is compared with the
// route headers; collecting, they are the frame so far, which ends when its
// length is reached (delivered) or passed (discarded).
//
// It must survive route tables that cannot be served (empty headers, headers
// or frame lengths beyond the data area) and endless noise, and it runs on the
// serial reader for every byte: no allocation and no system call per byte.
#include "router/frame_assembler.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

namespace {
constexpr uint8_t kCr = 13;
constexpr uint8_t kLf = 10;

template <typename Word>
Word load(const uint8_t* bytes) {
  Word word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// The lowest `count` bytes of a little-endian word (all of them from its size on).
template <typename Word>
Word lowBytes(uint32_t count) {
  return count >= sizeof(Word) ? ~Word{0} : static_cast<Word>((Word{1} << (8 * count)) - 1);
}
}  // namespace

FrameAssembler::FrameAssembler(RouteTable& table, FrameAssemblerHooks& hooks, StatusPublisher* status)
    : table_(table), hooks_(hooks), status_(status), tellFrames_(hooks.tellsFrames()) {
  entryCount_ = std::min(table.count, kRouteTableSize);
  for (uint32_t i = 0; i < entryCount_; ++i) {
    const uint32_t n = headerLength(table.entries[i]);
    // An empty header would match before any byte; a header longer than the
    // data area can only start a frame that could never be delivered. Both
    // entries are left out of the search and never receive a frame.
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
  if (bytes == nullptr) return;
  for (uint32_t i = 0; i < count; ++i) feedByte(bytes[i]);
}

void FrameAssembler::feedByte(uint8_t byte) {
  // received_ is at most kMaxFrame here, so the append stays inside buffer_.
  buffer_[received_++] = byte;
  if (current_ < 0 && candidates_[byte] != 0) searchHeaders(byte);
  // While a frame of known length is short of it, there is nothing to do.
  if (current_ >= 0 && received_ >= pendingLength_) collect();
  // A search window that grew past the data area starts again from the front.
  // A frame never gets here (collect() ends it).
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
  // A header of two or more bytes can only match if the byte before fits too;
  // with a single byte received, only one-byte headers can.
  // A later entry is compared against the rebuilt buffer, whose tail is the
  // tail it replaced, so the filter holds for the whole search.
  mask &= received_ >= 2 ? beforeLast_[buffer_[received_ - 2]] : oneByteHeaders_;
  while (mask != 0) {
    const uint32_t i = static_cast<uint32_t>(std::countr_zero(mask));
    mask &= mask - 1;
    const uint32_t n = headerLength_[i];
    if (received_ < n || !tailMatches(header_[i], n)) continue;
    // The window's bytes before the header are noise; a later match in
    // this loop finds none left (it is a suffix of this header).
    if (status_ != nullptr && current_ < 0) status_->noiseSkipped(received_ - n);
    // Bytes beyond received_ are never read, so the rest of the buffer is
    // left as it is rather than cleared.
    for (uint32_t k = 0; k < n; ++k) buffer_[k] = header_[i][k];
    received_ = n;
    current_ = static_cast<int32_t>(i);
    pendingLength_ = nextLook(table_.entries[i]);
  }
}

// Headers are short: a plain loop from the end beats a library call, and the
// last byte is known to match already.
bool FrameAssembler::tailMatches(const uint8_t* header, uint32_t n) const {
  const uint8_t* tail = buffer_ + received_ - n;
  for (uint32_t k = n - 1; k-- > 0;) {
    if (tail[k] != header[k]) return false;
  }
  return true;
}

// The received length at which a frame of `entry` next needs collect(): every
// byte while its length is being learned, else its length, but no later than
// the byte that outgrows the data area.
uint32_t FrameAssembler::nextLook(const RouteEntry& entry) {
  const auto frameLength = static_cast<uint32_t>(entry.frameLength);  // negative: huge
  return frameLength == 0 ? 0 : std::min(frameLength, kMaxFrame + 1);
}

void FrameAssembler::collect() {
  RouteEntry& entry = table_.entries[current_];
  const uint32_t length = received_;
  // A CR LF is learned only while the frame still fits the data area: one that
  // arrives as byte 261 would make a frame that cannot be delivered.
  if (entry.frameLength == 0 && length >= 2 && length <= kMaxFrame && buffer_[length - 2] == kCr &&
      buffer_[length - 1] == kLf) {
    entry.frameLength = static_cast<int32_t>(length);
  }
  // Compared unsigned: a negative configured length is a huge one.
  const uint32_t frameLength = static_cast<uint32_t>(entry.frameLength);
  if (length > kMaxFrame) {
    // The frame outgrew the data area (its length is above 260, or it is
    // being learned and no CR LF came in time): drop it and search again
    // instead of collecting for ever.
    if (status_ != nullptr) status_->overlongDiscarded();
    endFrame(entry);
  } else if (frameLength == 0 || frameLength > length) {
    return;  // still collecting
  } else if (frameLength == length) {
    deliver(static_cast<uint32_t>(current_), entry);
    endFrame(entry);
  } else {
    endFrame(entry);  // a length shorter than the header: discarded
  }
}

void FrameAssembler::endFrame(RouteEntry& entry) {
  received_ = 0;
  current_ = -1;
  if (entry.relearn != 0) entry.frameLength = 0;
}

void FrameAssembler::deliver(uint32_t index, RouteEntry& entry) {
  if (index == 0 && hooks_.backlightOn() == 0) {
    dropInDark(entry);
    return;
  }
  uint8_t* block = entry.blockAddress;
  if (block == nullptr) return;  // the entry got no block: it receives nothing
  const uint32_t length = received_;
  // Consumers look at the block only after its event, which is set last, and
  // watchers only after the seqlock closes; the data area is therefore
  // written once (the frame, then zeros after it) instead of being cleared
  // first and then overwritten.
  if (status_ != nullptr) status_->beginBlockWrite(index);
  writeDataArea(block, length);
  storeBlockLength(block, length);
  if (status_ != nullptr) status_->endFrame(index, length);
  if (entry.event != nullptr) hooks_.setEvent(entry.event);
  if (tellFrames_) hooks_.frameSeen(index, entry.channel, buffer_, length, true);
}

// Stores the frame and the zeros after it into the data area. Byte stores of
// all 260 bytes would cost more than the rest of a short frame's handling, so
// an 8-aligned block (every mapping is) takes relaxed atomic stores eight bytes
// at a time: other processes still never see a torn or undefined access. The
// words are read from the receive buffer, which is two bytes longer than the
// data area; bytes past the frame are masked to zero.
void FrameAssembler::writeDataArea(uint8_t* block, uint32_t length) {
  if (reinterpret_cast<uintptr_t>(block) % 8 != 0) {
    storeBlockBytes(block, kBlockDataOffset, buffer_, length);
    fillBlockBytes(block, kBlockDataOffset + length, 0, kBlockDataSize - length);
    return;
  }
  uint8_t* data = block + kBlockDataOffset;
  static_assert(kBlockDataOffset % 8 == 0 && kBlockDataSize % 8 == 4 && sizeof buffer_ >= kBlockDataSize);
  constexpr uint32_t kWholeWords = kBlockDataSize - 4;
  const auto store64 = [data](uint32_t at, uint64_t word) {
    std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(data + at)).store(word, std::memory_order_relaxed);
  };
  uint32_t k = 0;
  for (; k + 8 <= std::min(length, kWholeWords); k += 8) store64(k, load<uint64_t>(buffer_ + k));
  if (k < std::min(length, kWholeWords)) {
    store64(k, load<uint64_t>(buffer_ + k) & lowBytes<uint64_t>(length - k));
    k += 8;
  }
  for (; k < kWholeWords; k += 8) store64(k, 0);
  const uint32_t last =
      length > kWholeWords ? load<uint32_t>(buffer_ + kWholeWords) & lowBytes<uint32_t>(length - kWholeWords) : 0;
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(data + kWholeWords)).store(last, std::memory_order_relaxed);
}

// Entry 0 (the touch channel) while the screen is dark: the frame is lost and
// the user hears a click instead, at most one per 1200 ms of frames.
void FrameAssembler::dropInDark(RouteEntry& entry) {
  if (tellFrames_) hooks_.frameSeen(0, entry.channel, buffer_, received_, false);
  if (clickArmed_) {
    clickTime_ = hooks_.tickCount();
    hooks_.keyClick(2);
    clickArmed_ = false;
  } else if (static_cast<uint32_t>(hooks_.tickCount() - clickTime_) > kClickGateMs) {
    clickArmed_ = true;  // re-armed silently: the next frame clicks
  }
  if (status_ != nullptr) status_->droppedInDark();
  if (entry.blockAddress == nullptr) return;
  if (status_ != nullptr) status_->beginBlockWrite(0);
  fillBlockBytes(entry.blockAddress, kBlockDataOffset, 0, kBlockDataSize);
  if (status_ != nullptr) status_->endBlockClear(0);
}
