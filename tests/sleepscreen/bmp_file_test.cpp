// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The BMP reader against files written by the test: what loads (and the
// colours it gives back), what is refused and why, and how far it reads.
#include "sleepscreen/bmp_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/bmp_builder.h"
#include "tests/support/device_sandbox.h"

using shub::sleepscreen::BmpImage;
using shub::sleepscreen::BmpRefusal;
using sleepscreen_test::BmpRecipe;
using sleepscreen_test::makeBmp;

namespace {

uint32_t gradient(int x, int y) { return static_cast<uint32_t>((x * 7) << 16 | (y * 5) << 8 | (x + y)); }
uint32_t index8(int x, int y) { return static_cast<uint32_t>((x + 3 * y) % 256); }
uint32_t index4(int x, int y) { return static_cast<uint32_t>((x + y) % 16); }
uint32_t index1(int x, int y) { return static_cast<uint32_t>((x + y) % 2); }
uint32_t rgb565(int x, int y) { return static_cast<uint32_t>((x % 32) << 11 | (y % 64) << 5 | 31); }
uint32_t rgb555(int x, int y) { return static_cast<uint32_t>((x % 32) << 10 | (y % 32) << 5 | 7); }

void setU32(std::string& file, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) file[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

BmpRecipe rgb24(int32_t width, int32_t height) {
  BmpRecipe recipe;
  recipe.width = width, recipe.height = height, recipe.pixel = gradient;
  return recipe;
}

BmpRecipe indexed(uint16_t bpp, uint32_t (*pixel)(int, int), int width, int height) {
  BmpRecipe recipe;
  recipe.width = width, recipe.height = height, recipe.bitsPerPixel = bpp, recipe.pixel = pixel;
  for (int i = 0; i < 1 << bpp; ++i) {
    auto v = static_cast<uint32_t>(i * 255 / ((1 << bpp) - 1));
    recipe.palette.push_back(v << 16 | (255 - v) << 8 | v / 2);
  }
  return recipe;
}

BmpRecipe bitfields(uint16_t bpp, uint32_t headerSize, std::vector<uint32_t> masks,
                    uint32_t (*pixel)(int, int)) {
  BmpRecipe recipe;
  recipe.width = 5, recipe.height = 3, recipe.bitsPerPixel = bpp, recipe.compression = 3;
  recipe.headerSize = headerSize, recipe.masks = std::move(masks), recipe.pixel = pixel;
  return recipe;
}

BmpRecipe with(BmpRecipe recipe, void (*change)(BmpRecipe&)) {
  change(recipe);
  return recipe;
}

std::string withField(const BmpRecipe& recipe, size_t at, uint32_t value) {
  std::string file = makeBmp(recipe);
  setU32(file, at, value);
  return file;
}

// A file whose information block is BITMAPCOREHEADER: 12 bytes, 16-bit sizes.
std::string coreHeader() {
  std::string info = std::string("\x0c\0\0\0\x02\0\x02\0\x01\0\x08\0", 12) + std::string(256 * 3, '\x10');
  std::string file = "BM" + std::string(12, '\0');
  setU32(file, 10, static_cast<uint32_t>(14 + info.size()));
  return file + info + std::string(8, '\x01');
}

struct Case {
  const char* legend;
  std::string file;
  BmpRefusal result;
  std::optional<BmpRecipe> image;  // what a loaded file shows
  std::vector<size_t> reads;       // blocks read, in order: the file is left just after them; empty: not checked
};

std::vector<Case> cases() {
  const BmpRecipe small = rgb24(3, 2);
  const std::string smallFile = makeBmp(small);
  const BmpRecipe v5 = bitfields(32, 124, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, gradient);
  const BmpRecipe v4 = bitfields(32, 108, {0xFF0000, 0xFF00, 0xFF}, gradient);
  const BmpRecipe v2 = bitfields(16, 52, {0xF800, 0x07E0, 0x001F}, rgb565);
  const BmpRecipe v3 = bitfields(16, 56, {0xF800, 0x07E0, 0x001F}, rgb565);
  const BmpRecipe masks565 = bitfields(16, 40, {0xF800, 0x07E0, 0x001F}, rgb565);
  const BmpRecipe default555 = with(rgb24(5, 3), [](BmpRecipe& r) { r.bitsPerPixel = 16, r.pixel = rgb555; });
  const BmpRecipe default32 = with(rgb24(4, 2), [](BmpRecipe& r) { r.bitsPerPixel = 32; });
  const BmpRecipe topDown = rgb24(4, -3);
  const BmpRecipe otherSignature = with(small, [](BmpRecipe& r) { r.signature = "XY"; });
  const BmpRecipe hugeWidth = with(rgb24(0x7FFFFFF0, 2), [](BmpRecipe& r) { r.writePixels = false; });
  const BmpRecipe bigImage = with(rgb24(0x4000, 0x8000), [](BmpRecipe& r) { r.writePixels = false; });
  const BmpRecipe shortPalette = with(indexed(8, index8, 4, 2), [](BmpRecipe& r) { r.palette.resize(16); });
  const BmpRecipe sixteenColours = with(indexed(8, index8, 9, 4), [](BmpRecipe& r) { r.palette.resize(16); });
  return {
      // Files that load, one per depth and header kind.
      {"24-bit 800x480, offset 54", makeBmp(rgb24(800, 480)), BmpRefusal::none, rgb24(800, 480), {14, 40, 1152000}},
      {"24-bit 3x2: rows of 12 bytes", smallFile, BmpRefusal::none, small, {14, 40, 24}},
      {"top-down 24-bit", makeBmp(topDown), BmpRefusal::none, topDown, {14, 40, 36}},
      {"8-bit, 256 colours, offset 1078", makeBmp(indexed(8, index8, 9, 4)), BmpRefusal::none,
       indexed(8, index8, 9, 4), {14, 1064, 48}},
      {"4-bit", makeBmp(indexed(4, index4, 7, 3)), BmpRefusal::none, indexed(4, index4, 7, 3), {}},
      {"1-bit, width 1: rows of 4", makeBmp(indexed(1, index1, 1, 5)), BmpRefusal::none,
       indexed(1, index1, 1, 5), {14, 48, 20}},
      {"1-bit, width 33", makeBmp(indexed(1, index1, 33, 2)), BmpRefusal::none, indexed(1, index1, 33, 2), {}},
      {"16-bit default 5-5-5", makeBmp(default555), BmpRefusal::none, default555, {}},
      {"16-bit 5-6-5 masks after a 40-byte header", makeBmp(masks565), BmpRefusal::none, masks565, {14, 52, 36}},
      {"52-byte header with masks", makeBmp(v2), BmpRefusal::none, v2, {}},
      {"56-byte header with masks", makeBmp(v3), BmpRefusal::none, v3, {}},
      {"32-bit default 8-8-8", makeBmp(default32), BmpRefusal::none, default32, {}},
      {"108-byte header, 32-bit masks", makeBmp(v4), BmpRefusal::none, v4, {}},
      {"124-byte header, 32-bit masks", makeBmp(v5), BmpRefusal::none, v5, {14, 124, 60}},
      {"bytes after the pixels are not read", smallFile + "junk", BmpRefusal::none, small, {14, 40, 24}},
      {"signature is not examined", makeBmp(otherSignature), BmpRefusal::none, otherSignature, {}},
      {"8-bit, 16 colours: indices beyond the table show black", makeBmp(sixteenColours), BmpRefusal::none,
       sixteenColours, {}},
      // Files that are refused, and why.
      {"empty file", "", BmpRefusal::shortFileHeader, {}, {}},
      {"13 bytes", smallFile.substr(0, 13), BmpRefusal::shortFileHeader, {}, {}},
      {"pixel offset 0", withField(small, 10, 0), BmpRefusal::badPixelOffset, {}, {14}},
      {"pixel offset 14", withField(small, 10, 14), BmpRefusal::badPixelOffset, {}, {14}},
      {"pixel offset beyond the file", withField(small, 10, 0xFFFFFFFF), BmpRefusal::badPixelOffset, {}, {14}},
      {"information block of 15 bytes", withField(small, 10, 29), BmpRefusal::shortInfoBlock, {}, {14, 15}},
      {"header size beyond the block", withField(small, 14, 108), BmpRefusal::shortInfoBlock, {}, {14, 40}},
      {"core header", coreHeader(), BmpRefusal::unsupportedHeader, {}, {14, 780}},
      {"header size 64", withField(small, 14, 64), BmpRefusal::unsupportedHeader, {}, {}},
      {"width 0", withField(small, 18, 0), BmpRefusal::badGeometry, {}, {}},
      {"negative width", withField(small, 18, static_cast<uint32_t>(-3)), BmpRefusal::badGeometry, {}, {}},
      {"height 0", withField(small, 22, 0), BmpRefusal::badGeometry, {}, {}},
      {"2 bits per pixel", withField(small, 26, 0x00020001), BmpRefusal::unsupportedDepth, {}, {}},
      {"RLE8", makeBmp(with(indexed(8, index8, 4, 2), [](BmpRecipe& r) { r.compression = 1; })),
       BmpRefusal::unsupportedCompression, {}, {}},
      {"RLE4", makeBmp(with(indexed(4, index4, 4, 2), [](BmpRecipe& r) { r.compression = 2; })),
       BmpRefusal::unsupportedCompression, {}, {}},
      {"JPEG", withField(small, 30, 4), BmpRefusal::unsupportedCompression, {}, {}},
      {"PNG", withField(small, 30, 5), BmpRefusal::unsupportedCompression, {}, {}},
      {"bit-fields on 24 bits", makeBmp(bitfields(24, 40, {0xFF0000, 0xFF00, 0xFF}, gradient)),
       BmpRefusal::unsupportedCompression, {}, {}},
      {"bit-fields missing after a 40-byte header", makeBmp(bitfields(32, 40, {1, 2}, gradient)),
       BmpRefusal::badMasks, {}, {}},
      {"mask not one run of bits", makeBmp(bitfields(32, 40, {0xFF0000, 0xF0F0, 0xFF}, gradient)),
       BmpRefusal::badMasks, {}, {}},
      {"16-bit mask beyond 16 bits", makeBmp(bitfields(16, 40, {0x1F0000, 0x7E0, 0x1F}, rgb565)),
       BmpRefusal::badMasks, {}, {}},
      {"colour table beyond the block", withField(shortPalette, 46, 0), BmpRefusal::paletteOutsideBlock, {}, {14, 104}},
      {"row beyond 2 GB", makeBmp(hugeWidth), BmpRefusal::tooLarge, {}, {14, 40}},
      {"height INT32_MIN", withField(small, 22, 0x80000000u), BmpRefusal::tooLarge, {}, {14, 40}},
      {"1.6 GB image in a 57-byte file: nothing allocated", makeBmp(bigImage) + "xyz",
       BmpRefusal::truncated, {}, {14, 40}},
      {"3x2 one byte short", smallFile.substr(0, smallFile.size() - 1), BmpRefusal::truncated, {}, {14, 40}},
  };
}

// Colours pixel by pixel and row by row; a row copy writes the width and no
// further (a sentinel after it survives), and nothing for rows outside.
void expectImage(const BmpImage& image, const BmpRecipe& recipe) {
  const int rows = std::abs(recipe.height);
  ASSERT_EQ(image.width, recipe.width);
  ASSERT_EQ(image.height, rows);
  const int step = recipe.width > 64 ? 37 : 1;  // spot-check big images
  std::vector<uint32_t> row(static_cast<size_t>(recipe.width) + 1);
  for (int y = 0; y < rows; y += step) {
    row.back() = 0xDEADBEEF;
    ASSERT_EQ(image.copyRow(y, row), static_cast<size_t>(recipe.width)) << "row " << y;
    EXPECT_EQ(row.back(), 0xDEADBEEF) << "row " << y;
    for (int x = 0; x < recipe.width; x += step) {
      const uint32_t expected = sleepscreen_test::expectedColour(recipe, x, y);
      ASSERT_EQ(image.colourAt(x, y), expected) << "at " << x << "," << y;
      ASSERT_EQ(row[static_cast<size_t>(x)], expected) << "row copy at " << x << "," << y;
    }
  }
  EXPECT_EQ(image.colourAt(-1, 0), 0u);
  EXPECT_EQ(image.colourAt(recipe.width, rows - 1), 0u);
  EXPECT_EQ(image.colourAt(0, rows), 0u);
  EXPECT_EQ(image.copyRow(-1, row), 0u);
  EXPECT_EQ(image.copyRow(rows, row), 0u);
  EXPECT_EQ(image.copyRow(0, std::span(row).first(1)), 1u);  // a narrower screen cuts the row
}

// The reader over the first `length` bytes of `file`; closed when done.
struct InMemory {
  InMemory(const std::string& file, size_t length) : stream(fmemopen(const_cast<char*>(file.data()), length, "rb")) {}
  ~InMemory() { std::fclose(stream); }
  std::FILE* stream;
};

TEST(BmpFile, LoadsOrRefusesEachFileWithItsReason) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.legend);
    InMemory file(c.file, c.file.size());
    BmpImage image;
    image.width = -7;  // a refusal leaves it as it was
    EXPECT_EQ(shub::sleepscreen::readBmp(file.stream, image), c.result) << shub::sleepscreen::bmpRefusalText(c.result);
    if (c.image) {
      expectImage(image, *c.image);
    } else {
      EXPECT_EQ(image.width, -7);
    }
    if (!c.reads.empty()) {
      EXPECT_EQ(static_cast<size_t>(std::ftell(file.stream)), std::accumulate(c.reads.begin(), c.reads.end(), size_t{0}));
    }
  }
}

TEST(BmpFile, FileCutAtEveryBlockBoundaryIsRefused) {
  const std::string file = makeBmp(indexed(8, index8, 6, 3));
  const size_t offset = sleepscreen_test::pixelOffset(indexed(8, index8, 6, 3));
  for (size_t length : {size_t{1}, size_t{14}, size_t{15}, size_t{53}, offset - 1, offset, file.size() - 1}) {
    InMemory cut(file, length);
    BmpImage image;
    EXPECT_NE(shub::sleepscreen::readBmp(cut.stream, image), BmpRefusal::none) << "cut at " << length;
  }
}

TEST(BmpFile, ReadsHostFilesOnly) {
  testing_support::DeviceSandbox sandbox;
  const std::string path = sandbox.writeFile("image.bmp", makeBmp(rgb24(3, 2)));
  BmpImage image;
  EXPECT_EQ(shub::sleepscreen::readBmpFile(path.c_str(), image), BmpRefusal::none);
  expectImage(image, rgb24(3, 2));
  for (const std::string& other : {sandbox.root() + "/missing.bmp", sandbox.root()}) {
    EXPECT_EQ(shub::sleepscreen::readBmpFile(other.c_str(), image), BmpRefusal::cannotOpen) << other;
  }
  EXPECT_EQ(shub::sleepscreen::readBmpFile(nullptr, image), BmpRefusal::cannotOpen);
}

}  // namespace
