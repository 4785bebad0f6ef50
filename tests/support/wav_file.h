// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A mono 16-bit PCM WAV of `frames` samples at `rate`, sample k being k * 37:
// a click sound whose playing time is frames / rate.
#pragma once

#include <cstdint>
#include <string>

namespace testing_support {

inline std::string monoWav(uint32_t frames, uint32_t rate) {
  std::string out;
  auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i)); };
  auto u16 = [&](uint16_t v) { for (int i = 0; i < 2; ++i) out += static_cast<char>(v >> (8 * i)); };
  out += "RIFF";
  u32(36 + frames * 2);
  out += "WAVEfmt ";
  u32(16), u16(1), u16(1), u32(rate), u32(rate * 2), u16(2), u16(16);  // PCM, mono, 16 bits
  out += "data";
  u32(frames * 2);
  for (uint32_t k = 0; k < frames; ++k) u16(static_cast<uint16_t>(k * 37));
  return out;
}

}  // namespace testing_support
