// The bitmap loader against BMP files written by the test: what loads, what
// is refused, and that no path leaves a file, heap block or bitmap behind or
// reads more than three times.
#include "sleepscreen/bitmap_loader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "platform/dib.h"
#include "platform/gdi.h"
#include "tests/sleepscreen/bmp_builder.h"
#include "tests/support/device_sandbox.h"

using sleepscreen::LoaderFile;
using sleepscreen::LoaderSystem;
using sleepscreen_test::BmpRecipe;
using sleepscreen_test::makeBmp;

namespace {

// The real system, counted; can refuse allocations or DIBs on request.
class CountingSystem final : public LoaderSystem {
 public:
  LoaderFile* open(const char* path) override {
    LoaderFile* file = real.open(path);
    opens += file != nullptr;
    return file;
  }
  uint64_t size(LoaderFile* file) override { return real.size(file); }
  bool read(LoaderFile* file, void* buffer, size_t length) override {
    reads.push_back(length);
    return real.read(file, buffer, length);
  }
  void close(LoaderFile* file) override {
    ++closes;
    real.close(file);
  }
  void* allocate(size_t length) override {
    allocations.push_back(length);
    if (failAllocation) return nullptr;
    void* block = real.allocate(length);
    heapBlocks += block != nullptr;
    return block;
  }
  void release(void* block) override {
    heapBlocks -= block != nullptr;
    real.release(block);
  }
  ce::Bitmap* createDib(const void* info, size_t length, uint8_t** bits,
                        size_t* bitsLength) override {
    ++dibRequests;
    if (failDib) return nullptr;
    ce::Bitmap* bitmap = real.createDib(info, length, bits, bitsLength);
    bitmaps += bitmap != nullptr;
    return bitmap;
  }
  void deleteBitmap(ce::Bitmap* bitmap) override {
    bitmaps -= bitmap != nullptr;
    real.deleteBitmap(bitmap);
  }

  LoaderSystem& real = sleepscreen::platformLoaderSystem();
  bool failAllocation = false, failDib = false;
  int opens = 0, closes = 0, heapBlocks = 0, bitmaps = 0, dibRequests = 0;
  std::vector<size_t> reads, allocations;
};

size_t openDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

uint32_t gradient(int x, int y) { return static_cast<uint32_t>((x * 7) << 16 | (y * 5) << 8 | (x + y)); }
uint32_t index8(int x, int y) { return static_cast<uint32_t>((x + 3 * y) % 256); }
uint32_t index4(int x, int y) { return static_cast<uint32_t>((x + y) % 16); }
uint32_t index1(int x, int y) { return static_cast<uint32_t>((x + y) % 2); }
uint32_t rgb565(int x, int y) { return static_cast<uint32_t>((x % 32) << 11 | (y % 64) << 5 | 31); }
uint32_t rgb555(int x, int y) { return static_cast<uint32_t>((x % 32) << 10 | (y % 32) << 5 | 7); }

std::vector<uint32_t> greyPalette(int entries) {
  std::vector<uint32_t> palette;
  for (int i = 0; i < entries; ++i) {
    auto v = static_cast<uint32_t>(i * 255 / (entries - 1));
    palette.push_back(v << 16 | (255 - v) << 8 | v / 2);
  }
  return palette;
}

void setU32(std::string& file, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) file[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

std::string withPixelOffset(BmpRecipe recipe, uint32_t offset) {
  std::string file = makeBmp(recipe);
  setU32(file, 10, offset);
  return file;
}

std::string cut(const std::string& file, size_t length) { return file.substr(0, length); }

std::string coreHeader8Bit() {
  // BITMAPCOREHEADER: size 12, 16-bit width and height, planes, bpp; RGB triples.
  std::string info = std::string("\x0c\0\0\0\x02\0\x02\0\x01\0\x08\0", 12);
  info += std::string(256 * 3, '\x10');
  std::string file = "BM" + std::string(12, '\0');
  setU32(file, 10, static_cast<uint32_t>(14 + info.size()));
  return file + info + std::string(8, '\x01');
}

BmpRecipe recipe24(int32_t width, int32_t height) {
  BmpRecipe recipe;
  recipe.width = width;
  recipe.height = height;
  recipe.pixel = gradient;
  return recipe;
}

BmpRecipe indexed(uint16_t bpp, uint32_t (*pixel)(int, int), int width, int height) {
  BmpRecipe recipe;
  recipe.width = width;
  recipe.height = height;
  recipe.bitsPerPixel = bpp;
  recipe.palette = greyPalette(1 << bpp);
  recipe.pixel = pixel;
  return recipe;
}

BmpRecipe bitfields16() {
  BmpRecipe recipe;
  recipe.width = 5, recipe.height = 3, recipe.bitsPerPixel = 16, recipe.compression = 3;
  recipe.masks = {0xF800, 0x07E0, 0x001F};
  recipe.pixel = rgb565;
  return recipe;
}

BmpRecipe v5Bitfields32() {
  BmpRecipe recipe;
  recipe.width = 4, recipe.height = 3, recipe.bitsPerPixel = 32, recipe.compression = 3;
  recipe.headerSize = 124;
  recipe.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
  recipe.pixel = gradient;
  return recipe;
}

struct LoadCase {
  const char* legend;
  std::string file;
  std::optional<BmpRecipe> loads;  // the image expected back; nullopt: refused
  std::vector<size_t> reads;     // lengths of the reads, in order; empty: not checked
};

std::vector<LoadCase> loadCases() {
  BmpRecipe small = recipe24(3, 2);
  std::string smallFile = makeBmp(small);
  BmpRecipe topDown = recipe24(4, -3);
  BmpRecipe sixteen = bitfields16();
  sixteen.masks.clear(), sixteen.compression = 0, sixteen.pixel = rgb555;
  BmpRecipe rle = indexed(8, index8, 4, 2);
  rle.compression = 1;
  BmpRecipe wrongSignature = small;
  wrongSignature.signature = "XY";
  BmpRecipe bigWidth = recipe24(0x7FFFFFF0, 2);
  bigWidth.writePixels = false;
  BmpRecipe negativeWidth = recipe24(-3, 2);
  negativeWidth.writePixels = false;
  return {
      {"24-bit 800x480, offset 54", makeBmp(recipe24(800, 480)), recipe24(800, 480), {14, 40, 1152000}},
      {"8-bit, 256 colours, offset 1078", makeBmp(indexed(8, index8, 9, 4)),
       indexed(8, index8, 9, 4), {14, 1064, 48}},
      {"24-bit 3x2: rows of 12 bytes", smallFile, small, {14, 40, 24}},
      {"24-bit 3x2 one byte short", cut(smallFile, smallFile.size() - 1), std::nullopt, {14, 40}},
      {"bytes after the pixels are ignored", smallFile + "trailing junk", small, {14, 40, 24}},
      {"signature is not examined", makeBmp(wrongSignature), wrongSignature, {}},
      {"pixel offset 0", withPixelOffset(small, 0), std::nullopt, {14}},
      {"pixel offset 14", withPixelOffset(small, 14), std::nullopt, {14}},
      {"information block of 15 bytes", withPixelOffset(small, 29), std::nullopt, {14, 15}},
      {"pixel offset beyond the file", withPixelOffset(small, 0xFFFFFFF0), std::nullopt, {14}},
      {"V5 header, 32-bit bit-fields", makeBmp(v5Bitfields32()), v5Bitfields32(), {14, 124, 48}},
      {"16-bit 5-6-5 bit-fields", makeBmp(bitfields16()), bitfields16(), {14, 52, 36}},
      {"16-bit default 5-5-5", makeBmp(sixteen), sixteen, {}},
      {"4-bit palette", makeBmp(indexed(4, index4, 7, 3)), indexed(4, index4, 7, 3), {}},
      {"1-bit palette, width 1: rows of 4", makeBmp(indexed(1, index1, 1, 5)),
       indexed(1, index1, 1, 5), {14, 48, 20}},
      {"1-bit palette, width 33", makeBmp(indexed(1, index1, 33, 2)), indexed(1, index1, 33, 2), {}},
      {"top-down rows", makeBmp(topDown), topDown, {14, 40, 36}},
      {"RLE8 refused", makeBmp(rle), std::nullopt, {}},
      {"core header refused", coreHeader8Bit(), std::nullopt, {}},
      {"width that overflows 32 bits", makeBmp(bigWidth), std::nullopt, {14, 40}},
      {"negative width", makeBmp(negativeWidth), std::nullopt, {14, 40}},
      {"empty file", "", std::nullopt, {14}},
  };
}

void expectImage(const ce::Bitmap& bitmap, const BmpRecipe& recipe) {
  int rows = std::abs(recipe.height);
  ASSERT_EQ(bitmap.layout.width, recipe.width);
  ASSERT_EQ(bitmap.layout.height, rows);
  int step = recipe.width > 64 ? 37 : 1;  // spot-check big images
  for (int y = 0; y < rows; y += step) {
    for (int x = 0; x < recipe.width; x += step) {
      ASSERT_EQ(ce::dibPixel(bitmap, x, y), sleepscreen_test::expectedColour(recipe, x, y))
          << "at " << x << "," << y;
    }
  }
}

void expectNothingLeft(const CountingSystem& system, const ce::Bitmap* result) {
  EXPECT_EQ(system.opens, system.closes) << "file left open";
  EXPECT_LE(system.closes, 1);
  EXPECT_EQ(system.heapBlocks, 0) << "information block not freed";
  EXPECT_EQ(system.bitmaps, result != nullptr ? 1 : 0) << "bitmap leaked";
  EXPECT_LE(system.reads.size(), 3u);
}

class BitmapLoaderTest : public ::testing::Test {
 protected:
  std::string write(const std::string& contents) { return sandbox.writeFile("image.bmp", contents); }
  testing_support::DeviceSandbox sandbox;
};

TEST_F(BitmapLoaderTest, LoadsOrRefusesEachFile) {
  for (const LoadCase& c : loadCases()) {
    SCOPED_TRACE(c.legend);
    std::string path = write(c.file);
    size_t descriptors = openDescriptors();
    CountingSystem system;
    ce::Bitmap* bitmap = sleepscreen::loadBitmap(path.c_str(), system);
    EXPECT_EQ(bitmap != nullptr, c.loads.has_value());
    if (bitmap != nullptr && c.loads) expectImage(*bitmap, *c.loads);
    if (!c.reads.empty()) {
      EXPECT_EQ(system.reads, c.reads);
    }
    expectNothingLeft(system, bitmap);
    EXPECT_EQ(openDescriptors(), descriptors);
    if (bitmap != nullptr) {
      EXPECT_TRUE(ce::deleteObject(bitmap));
    }
  }
}

TEST_F(BitmapLoaderTest, FileCutAtEveryBlockBoundaryIsRefused) {
  BmpRecipe recipe = indexed(8, index8, 6, 3);
  std::string file = makeBmp(recipe);
  uint32_t offset = sleepscreen_test::pixelOffset(recipe);
  for (size_t length : {size_t{0}, size_t{1}, size_t{13}, size_t{14}, size_t{15}, size_t{14 + 39},
                        size_t{54}, size_t{offset - 1}, size_t{offset}, size_t{offset + 1},
                        file.size() - 1}) {
    SCOPED_TRACE("cut at " + std::to_string(length));
    CountingSystem system;
    ce::Bitmap* bitmap = sleepscreen::loadBitmap(write(cut(file, length)).c_str(), system);
    EXPECT_EQ(bitmap, nullptr);
    expectNothingLeft(system, bitmap);
    EXPECT_EQ(system.dibRequests, 0) << "a DIB was made for pixels the file cannot hold";
  }
}

TEST_F(BitmapLoaderTest, NothingIsAllocatedBeyondTheFileSize) {
  // A 26-byte file claiming an information block of 4 GB and, separately, an
  // image of 2 GB: neither may reach the allocator or the DIB creation.
  BmpRecipe recipe = recipe24(0x4000, 0x8000);
  recipe.writePixels = false;
  std::string hugeImage = makeBmp(recipe) + "xyz";
  for (const std::string& file : {withPixelOffset(recipe24(1, 1), 0xFFFFFFFF), hugeImage}) {
    CountingSystem system;
    EXPECT_EQ(sleepscreen::loadBitmap(write(file).c_str(), system), nullptr);
    for (size_t length : system.allocations) EXPECT_LE(length, file.size());
    EXPECT_EQ(system.dibRequests, 0);
    expectNothingLeft(system, nullptr);
  }
}

TEST_F(BitmapLoaderTest, PathsThatOpenNothing) {
  CountingSystem system;
  EXPECT_EQ(sleepscreen::loadBitmap(nullptr, system), nullptr);
  EXPECT_EQ(sleepscreen::loadBitmap((sandbox.root() + "/missing.bmp").c_str(), system), nullptr);
  EXPECT_EQ(sleepscreen::loadBitmap(sandbox.root().c_str(), system), nullptr);  // a directory
  EXPECT_EQ(system.opens, 0);
  EXPECT_TRUE(system.reads.empty());
}

TEST_F(BitmapLoaderTest, AllocationAndDibFailuresLeaveNothingBehind) {
  std::string path = write(makeBmp(recipe24(3, 2)));
  CountingSystem noHeap;
  noHeap.failAllocation = true;
  EXPECT_EQ(sleepscreen::loadBitmap(path.c_str(), noHeap), nullptr);
  expectNothingLeft(noHeap, nullptr);
  EXPECT_EQ(noHeap.reads.size(), 1u);

  CountingSystem noDib;
  noDib.failDib = true;
  EXPECT_EQ(sleepscreen::loadBitmap(path.c_str(), noDib), nullptr);
  expectNothingLeft(noDib, nullptr);
  EXPECT_EQ(noDib.reads.size(), 2u);
}

TEST(PixelDataLength, FollowsTheRowFormula) {
  struct Row {
    int32_t width, height;
    uint16_t bpp;
    uint32_t length;
  } rows[] = {
      {800, 480, 24, 1152000}, {800, 480, 8, 384000}, {3, 2, 24, 24},  {1, 1, 1, 4},
      {33, 1, 1, 8},           {3, -2, 24, 24},       {0, 5, 24, 0},   {-3, -2, 24, 0},
      {5, 0, 24, 0},           {0x7FFFFFFF, 1, 32, 0}, {46341, 46341, 8, 0},
      {-0x55555556, 0x55555556, 0xAAAA, 0},  // row times rows beyond 64 bits (found by fuzzing)
  };
  for (const Row& row : rows) {
    std::string info(16, '\0');
    setU32(info, 4, static_cast<uint32_t>(row.width));
    setU32(info, 8, static_cast<uint32_t>(row.height));
    info[14] = static_cast<char>(row.bpp);
    EXPECT_EQ(sleepscreen::pixelDataLength(reinterpret_cast<const uint8_t*>(info.data()), 16),
              row.length)
        << row.width << "x" << row.height << "x" << row.bpp;
    EXPECT_EQ(sleepscreen::pixelDataLength(reinterpret_cast<const uint8_t*>(info.data()), 15), 0u);
  }
}

}  // namespace
