// DIB creation from information blocks a file may hold, colours read back,
// and the memory-context rules that keep bitmaps from being freed while in use.
#include "platform/dib.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/gdi.h"
#include "tests/sleepscreen/bmp_builder.h"

using sleepscreen_test::BmpRecipe;

namespace {

// The information block of `recipe`: what lies between the file header and the pixels.
std::string infoOf(const BmpRecipe& recipe) {
  return sleepscreen_test::makeBmp(recipe).substr(14, sleepscreen_test::pixelOffset(recipe) - 14);
}

void setU32(std::string& block, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) block[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

ce::Bitmap* create(const std::string& info) {
  return ce::createDibSection(info.data(), info.size(), ce::DIB_RGB_COLORS, nullptr, nullptr);
}

BmpRecipe withPalette(uint16_t bpp, size_t entries) {
  BmpRecipe recipe;
  recipe.bitsPerPixel = bpp;
  recipe.palette.assign(entries, 0x123456);
  return recipe;
}

TEST(DibCreation, RefusesWhatItCannotDraw) {
  BmpRecipe bitfields32;
  bitfields32.bitsPerPixel = 32, bitfields32.compression = 3, bitfields32.masks = {0xFF0000, 0xFF00, 0xFF};
  struct Case {
    const char* legend;
    std::string info;
  };
  std::vector<Case> cases;
  auto add = [&](const char* legend, std::string info) { cases.push_back({legend, std::move(info)}); };
  add("shorter than a BITMAPINFOHEADER", infoOf({}).substr(0, 39));
  add("header size larger than the block", [] { auto i = infoOf({}); setU32(i, 0, 108); return i; }());
  add("core header size", [] { auto i = infoOf({}); setU32(i, 0, 12); return i; }());
  add("unknown header size 64", [] { auto i = infoOf({}); i.resize(64); setU32(i, 0, 64); return i; }());
  add("zero width", [] { BmpRecipe s; s.width = 0; return infoOf(s); }());
  add("zero height", [] { BmpRecipe s; s.height = 0; return infoOf(s); }());
  add("height INT32_MIN", [] { auto i = infoOf({}); setU32(i, 8, 0x80000000u); return i; }());
  add("2 bits per pixel", [] { BmpRecipe s = withPalette(1, 2); auto i = infoOf(s); i[14] = 2; return i; }());
  add("RLE8", [] { BmpRecipe s = withPalette(8, 256); s.compression = 1; return infoOf(s); }());
  add("RLE4", [] { BmpRecipe s = withPalette(4, 16); s.compression = 2; return infoOf(s); }());
  add("JPEG", [] { BmpRecipe s; s.compression = 4; return infoOf(s); }());
  add("bit-fields on 24 bits", [] { BmpRecipe s; s.compression = 3; s.masks = {0xFF0000, 0xFF00, 0xFF}; return infoOf(s); }());
  add("bit-fields missing after a 40-byte header", infoOf(bitfields32).substr(0, 48));
  add("non-contiguous mask", [&] { BmpRecipe s = bitfields32; s.masks[1] = 0xF0F0; return infoOf(s); }());
  add("16-bit mask beyond 16 bits", [] { BmpRecipe s; s.bitsPerPixel = 16; s.compression = 3; s.masks = {0x1F0000, 0x7E0, 0x1F}; return infoOf(s); }());
  add("colour table cut short", infoOf(withPalette(8, 256)).substr(0, 40 + 255 * 4));
  add("colour count says more than the block holds", [] { auto i = infoOf(withPalette(4, 4)); setU32(i, 32, 8); return i; }());
  add("row beyond 2 GB times 2^31 rows", [] { BmpRecipe s; s.bitsPerPixel = 32; s.width = 0x7FFFFFFF; s.height = -0x7FFFFFFF; s.writePixels = false; return infoOf(s); }());
  add("image beyond 2 GB", [] { BmpRecipe s; s.width = 0x10000; s.height = 0x8000; s.writePixels = false; return infoOf(s); }());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    ce::DibLayout layout;
    layout.width = -7;  // a sentinel: a refused block leaves the layout alone
    EXPECT_FALSE(ce::parseDibInfo(c.info.data(), c.info.size(), layout));
    EXPECT_EQ(layout.width, -7);
    EXPECT_EQ(create(c.info), nullptr);
  }
  std::string good = infoOf({});
  EXPECT_EQ(ce::createDibSection(good.data(), good.size(), 1 /* DIB_PAL_COLORS */, nullptr, nullptr), nullptr);
}

TEST(DibCreation, BufferIsLaidOutAsTheHeaderSays) {
  struct Case {
    int32_t width, height;
    uint16_t bpp;
    size_t paletteEntries;
    uint32_t rowLength;
  } cases[] = {{3, 2, 24, 0, 12}, {1, 1, 1, 2, 4}, {33, -3, 1, 2, 8}, {7, 2, 4, 16, 4}, {5, 1, 8, 256, 8},
               {3, 4, 16, 0, 8},  {2, 2, 32, 0, 8}};
  for (const Case& c : cases) {
    BmpRecipe recipe = withPalette(c.bpp, c.paletteEntries);
    recipe.width = c.width, recipe.height = c.height;
    std::string info = infoOf(recipe);
    uint8_t* bits = nullptr;
    size_t length = 0;
    ce::Bitmap* bitmap = ce::createDibSection(info.data(), info.size(), ce::DIB_RGB_COLORS, &bits, &length);
    ASSERT_NE(bitmap, nullptr) << c.width << "x" << c.height << "x" << c.bpp;
    EXPECT_EQ(bitmap->layout.rowLength, c.rowLength);
    EXPECT_EQ(length, size_t{c.rowLength} * std::abs(c.height));
    EXPECT_EQ(bits, bitmap->bits.get());
    EXPECT_EQ(bitmap->layout.topDown, c.height < 0);
    EXPECT_TRUE(ce::deleteObject(bitmap));
  }
}

TEST(DibPixels, MasksPaletteAndEdges) {
  // 32-bit bit-fields with blue and red swapped: 0x000000FF is red.
  BmpRecipe swapped;
  swapped.width = 2, swapped.height = 1, swapped.bitsPerPixel = 32, swapped.compression = 3;
  swapped.masks = {0xFF, 0xFF00, 0xFF0000};
  swapped.pixel = [](int x, int) { return x == 0 ? 0x000000FFu : 0x00FF0000u; };
  std::string file = sleepscreen_test::makeBmp(swapped);
  std::string info = infoOf(swapped);
  uint8_t* bits = nullptr;
  ce::Bitmap* bitmap = ce::createDibSection(info.data(), info.size(), ce::DIB_RGB_COLORS, &bits, nullptr);
  ASSERT_NE(bitmap, nullptr);
  std::copy(file.begin() + sleepscreen_test::pixelOffset(swapped), file.end(), bits);
  EXPECT_EQ(ce::dibPixel(*bitmap, 0, 0), 0xFF0000u);
  EXPECT_EQ(ce::dibPixel(*bitmap, 1, 0), 0x0000FFu);
  std::vector<uint32_t> rect(9, 0xDEADBEEF);
  ce::readDibRect(bitmap, -1, -1, 3, 3, rect.data());  // one row and column of image, rest black
  EXPECT_EQ(rect, (std::vector<uint32_t>{0, 0, 0, 0, 0xFF0000, 0x0000FF, 0, 0, 0}));
  ce::readDibRect(nullptr, 0, 0, 3, 3, rect.data());
  EXPECT_EQ(rect, std::vector<uint32_t>(9, 0));
  EXPECT_TRUE(ce::deleteObject(bitmap));

  // An index beyond a short colour table is black, not a read past it.
  BmpRecipe shortTable = withPalette(8, 2);
  shortTable.width = 1, shortTable.height = 1;
  info = infoOf(shortTable);
  bitmap = ce::createDibSection(info.data(), info.size(), ce::DIB_RGB_COLORS, &bits, nullptr);
  ASSERT_NE(bitmap, nullptr);
  bits[0] = 200;
  EXPECT_EQ(ce::dibPixel(*bitmap, 0, 0), 0u);
  bits[0] = 1;
  EXPECT_EQ(ce::dibPixel(*bitmap, 0, 0), 0x123456u);
  EXPECT_TRUE(ce::deleteObject(bitmap));
}

TEST(MemoryContext, SelectionGuardsDeletion) {
  std::string info = infoOf({});
  ce::Bitmap* bitmap = create(info);
  ce::Bitmap* other = create(info);
  ASSERT_NE(bitmap, nullptr);
  ce::DeviceContext* memory = ce::createCompatibleDC(nullptr);
  ce::DeviceContext* second = ce::createCompatibleDC(nullptr);
  ASSERT_NE(memory, nullptr);

  EXPECT_EQ(ce::selectObject(memory, nullptr), nullptr);  // no effect
  ce::Bitmap* stock = ce::selectObject(memory, bitmap);
  ASSERT_NE(stock, nullptr);
  EXPECT_FALSE(ce::deleteObject(bitmap)) << "deleted while selected";
  EXPECT_EQ(ce::selectObject(second, bitmap), nullptr) << "selected into two contexts";
  EXPECT_EQ(ce::selectObject(memory, other), bitmap);
  EXPECT_EQ(ce::selectObject(memory, stock), other);
  EXPECT_FALSE(ce::deleteObject(stock));
  EXPECT_TRUE(ce::deleteObject(bitmap));

  ce::selectObject(second, other);
  EXPECT_TRUE(ce::deleteDC(second));  // deselects what it held
  EXPECT_TRUE(ce::deleteObject(other));
  EXPECT_FALSE(ce::deleteDC(second)) << "a deleted context was accepted";
  EXPECT_EQ(ce::getDC(nullptr), nullptr);
  EXPECT_FALSE(ce::bitBlt(memory, 0, 0, 10, 10, memory, 0, 0, ce::SRCCOPY));  // not a window
  EXPECT_TRUE(ce::deleteDC(memory));
}

}  // namespace
