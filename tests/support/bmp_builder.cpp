// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// BMP files for tests (see bmp_builder.h).
#include "tests/support/bmp_builder.h"

#include <cstdlib>

namespace sleepscreen_test {

namespace {

void put16(std::string& out, uint32_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8 & 0xFF);
}

void put32(std::string& out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

uint32_t colourOf(const BmpRecipe& recipe, int x, int y) { return recipe.pixel ? recipe.pixel(x, y) : 0; }

void putPixel(std::string& row, const BmpRecipe& recipe, int x, uint32_t value) {
  switch (recipe.bitsPerPixel) {
    case 1:
    case 4: {
      size_t bit = static_cast<size_t>(x) * recipe.bitsPerPixel;
      size_t shift = 8 - recipe.bitsPerPixel - bit % 8;
      row[bit / 8] = static_cast<char>(static_cast<uint8_t>(row[bit / 8]) | value << shift);
      break;
    }
    case 8: row[x] = static_cast<char>(value); break;
    case 16:
      row[2 * x] = static_cast<char>(value & 0xFF);
      row[2 * x + 1] = static_cast<char>(value >> 8);
      break;
    case 24:
      for (int i = 0; i < 3; ++i) row[3 * x + i] = static_cast<char>(value >> (8 * i) & 0xFF);
      break;
    case 32:
      for (int i = 0; i < 4; ++i) row[4 * x + i] = static_cast<char>(value >> (8 * i) & 0xFF);
      break;
    default: break;
  }
}

bool masksInHeader(const BmpRecipe& recipe) { return recipe.headerSize >= 52; }

}  // namespace

uint32_t rowLength(const BmpRecipe& recipe) {
  return static_cast<uint32_t>((int64_t{recipe.bitsPerPixel} * recipe.width + 31) / 32 * 4);
}

uint32_t pixelOffset(const BmpRecipe& recipe) {
  uint32_t masks = masksInHeader(recipe) ? 0 : static_cast<uint32_t>(recipe.masks.size() * 4);
  return 14 + recipe.headerSize + masks + static_cast<uint32_t>(recipe.palette.size() * 4);
}

std::string makeBmp(const BmpRecipe& recipe) {
  int rows = recipe.writePixels ? std::abs(recipe.height) : 0;
  std::string pixels;
  for (int stored = 0; stored < rows; ++stored) {
    int y = recipe.height < 0 ? stored : rows - 1 - stored;
    std::string row(rowLength(recipe), '\0');
    for (int x = 0; x < recipe.width; ++x) putPixel(row, recipe, x, colourOf(recipe, x, y));
    pixels += row;
  }
  std::string info;
  put32(info, recipe.headerSize);
  put32(info, static_cast<uint32_t>(recipe.width));
  put32(info, static_cast<uint32_t>(recipe.height));
  put16(info, 1);
  put16(info, recipe.bitsPerPixel);
  put32(info, recipe.compression);
  put32(info, static_cast<uint32_t>(pixels.size()));
  put32(info, 2835);
  put32(info, 2835);
  put32(info, static_cast<uint32_t>(recipe.palette.size()));
  put32(info, 0);
  std::string masks;
  for (uint32_t mask : recipe.masks) put32(masks, mask);
  if (masksInHeader(recipe)) {
    info += masks;
    info.resize(recipe.headerSize, '\0');
  } else {
    info.resize(recipe.headerSize < info.size() ? info.size() : recipe.headerSize, '\0');
    info += masks;
  }
  for (uint32_t colour : recipe.palette) put32(info, colour & 0xFFFFFF);
  std::string file = recipe.signature.substr(0, 2);
  file.resize(2, '\0');
  put32(file, static_cast<uint32_t>(14 + info.size() + pixels.size()));
  put32(file, 0);
  put32(file, static_cast<uint32_t>(14 + info.size()));
  return file + info + pixels;
}

uint32_t expectedColour(const BmpRecipe& recipe, int x, int y) {
  uint32_t value = colourOf(recipe, x, y);
  if (recipe.bitsPerPixel <= 8) return value < recipe.palette.size() ? recipe.palette[value] : 0;
  if (recipe.bitsPerPixel == 16) {
    // Our tests use 5-6-5 bit-fields or the default 5-5-5; widen like the DIB does.
    bool is565 = !recipe.masks.empty() && recipe.masks[1] == 0x07E0;
    uint32_t r = is565 ? value >> 11 & 0x1F : value >> 10 & 0x1F;
    uint32_t g = is565 ? value >> 5 & 0x3F : value >> 5 & 0x1F;
    uint32_t b = value & 0x1F;
    uint32_t gMax = is565 ? 63 : 31;
    return (r * 255 / 31) << 16 | (g * 255 / gMax) << 8 | b * 255 / 31;
  }
  return value & 0xFFFFFF;
}

}  // namespace sleepscreen_test
