// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// BMP files for tests, described as small records and written out byte by
// byte, so that each test states the header fields it cares about and can
// break any of them on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sleepscreen_test {

struct BmpRecipe {
  int32_t width = 3;
  int32_t height = 2;         // negative: rows stored top first
  uint16_t bitsPerPixel = 24;
  uint32_t compression = 0;   // BI_RGB
  uint32_t headerSize = 40;   // 40, 108, 124, or anything to test refusal
  std::vector<uint32_t> masks;    // written after a 40-byte header, or inside V4/V5
  std::vector<uint32_t> palette;  // 0x00RRGGBB, written as B G R 0
  // Colour of pixel (x, y), y from the top; indexed depths give the index.
  uint32_t (*pixel)(int x, int y) = nullptr;
  std::string signature = "BM";
  bool writePixels = true;    // false: headers only (for sizes no test could hold)
};

// The whole file; pixelOffset() tells where the pixels start.
std::string makeBmp(const BmpRecipe& recipe);
uint32_t pixelOffset(const BmpRecipe& recipe);
uint32_t rowLength(const BmpRecipe& recipe);

// Expected 0x00RRGGBB of (x, y) after drawing, for the recipes makeBmp writes.
uint32_t expectedColour(const BmpRecipe& recipe, int x, int y);

}  // namespace sleepscreen_test
