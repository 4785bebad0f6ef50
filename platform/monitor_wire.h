// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The monitor socket's messages (layout in serialhub/protocol.h), packed and
// unpacked in one place for the daemon and the client library. Unaligned
// little-endian words, through memcpy: a datagram buffer has no alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include <serialhub/protocol.h>

namespace shub::os::monitor_wire {

template <typename Word>
Word load(const uint8_t* from) {
  Word word;
  std::memcpy(&word, from, sizeof word);
  return word;
}

template <typename Word>
void store(uint8_t* to, Word word) {
  std::memcpy(to, &word, sizeof word);
}

inline constexpr size_t kMessageMax = SHUB_MONITOR_REQUEST_HEADER + 4 * SHUB_MONITOR_CHANNELS_MAX;
inline constexpr size_t kFrameMax = SHUB_MONITOR_FRAME_HEADER + SHUB_BLOCK_DATA_SIZE;

// A subscribe message (`word` the channel count, the channels after it) or
// its answer (`word` 0 or an errno value) into `out`, kMessageMax bytes; its size.
inline size_t packMessage(uint8_t* out, uint32_t word, const int32_t* channels = nullptr, uint32_t count = 0) {
  store<uint32_t>(out, SHUB_MONITOR_MAGIC);
  store<uint32_t>(out + 4, SHUB_MONITOR_VERSION);
  store<uint32_t>(out + 8, word);
  for (uint32_t i = 0; i < count && i < SHUB_MONITOR_CHANNELS_MAX; ++i) {
    store<int32_t>(out + SHUB_MONITOR_REQUEST_HEADER + 4 * i, channels[i]);
  }
  return SHUB_MONITOR_REQUEST_HEADER + 4 * size_t{count};
}

// The word of a message of `size` bytes; none when it is not one of ours.
inline std::optional<uint32_t> messageWord(const uint8_t* in, size_t size) {
  if (size < SHUB_MONITOR_REQUEST_HEADER || load<uint32_t>(in) != SHUB_MONITOR_MAGIC ||
      load<uint32_t>(in + 4) != SHUB_MONITOR_VERSION) {
    return std::nullopt;
  }
  return load<uint32_t>(in + 8);
}

inline int32_t channelAt(const uint8_t* message, uint32_t index) {
  return load<int32_t>(message + SHUB_MONITOR_REQUEST_HEADER + 4 * index);
}

struct Frame {
  int32_t channel = 0;
  uint32_t length = 0;
  uint64_t seq = 0;
  int64_t time = 0, mono = 0;  // nanoseconds
  const uint8_t* bytes = nullptr;
};

// Into `out`, kFrameMax bytes; its size. A length beyond the data area is cut to it.
inline size_t packFrame(uint8_t* out, Frame frame) {
  if (frame.length > SHUB_BLOCK_DATA_SIZE) frame.length = SHUB_BLOCK_DATA_SIZE;
  store<int32_t>(out + SHUB_MONITOR_FRAME_CHANNEL, frame.channel);
  store<uint32_t>(out + SHUB_MONITOR_FRAME_LENGTH, frame.length);
  store<uint64_t>(out + SHUB_MONITOR_FRAME_SEQ, frame.seq);
  store<int64_t>(out + SHUB_MONITOR_FRAME_TIME, frame.time);
  store<int64_t>(out + SHUB_MONITOR_FRAME_MONO, frame.mono);
  std::memcpy(out + SHUB_MONITOR_FRAME_HEADER, frame.bytes, frame.length);
  return SHUB_MONITOR_FRAME_HEADER + frame.length;
}

// A datagram of `size` bytes; none unless it is one whole frame. The bytes stay in `in`.
inline std::optional<Frame> unpackFrame(const uint8_t* in, size_t size) {
  if (size < SHUB_MONITOR_FRAME_HEADER) return std::nullopt;
  Frame frame{.channel = load<int32_t>(in + SHUB_MONITOR_FRAME_CHANNEL),
              .length = load<uint32_t>(in + SHUB_MONITOR_FRAME_LENGTH),
              .seq = load<uint64_t>(in + SHUB_MONITOR_FRAME_SEQ),
              .time = load<int64_t>(in + SHUB_MONITOR_FRAME_TIME),
              .mono = load<int64_t>(in + SHUB_MONITOR_FRAME_MONO),
              .bytes = in + SHUB_MONITOR_FRAME_HEADER};
  if (frame.length > SHUB_BLOCK_DATA_SIZE || size != SHUB_MONITOR_FRAME_HEADER + frame.length) return std::nullopt;
  return frame;
}

}  // namespace shub::os::monitor_wire
