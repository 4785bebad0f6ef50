// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The BMP file format (see bmp_file.h): the file header, the information
// block and the pixel rows in three reads, each block checked before the next
// is asked for, and the colours of the accepted layouts read back out.
//
// Must survive any bytes: lengths are compared with what the file holds
// before anything is allocated for them, and colour lookups never leave the
// pixel rows or the colour table whatever the coordinates.
#include "sleepscreen/bmp_file.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <limits>

namespace shub::sleepscreen {
namespace {

static_assert(std::endian::native == std::endian::little, "BMP fields are little-endian and read in place");

// BITMAPFILEHEADER, at the start of the file.
struct [[gnu::packed]] FileHeader {
  uint16_t signature;    // "BM" in a well-made file; not examined
  uint32_t fileSize;     // not examined: the file itself is asked
  uint32_t reserved;
  uint32_t pixelOffset;  // where the pixel rows start, from the start of the file
};
static_assert(sizeof(FileHeader) == 14);

// BITMAPINFOHEADER, and the masks that follow it or that its V2 to V5
// successors hold at the same place. Fields beyond a shorter block read 0.
struct InfoHeader {
  uint32_t headerSize;    // 40, 52, 56, 108 or 124 (12, the core header, is refused)
  int32_t width;          // pixels
  int32_t height;         // rows; negative when the top row is stored first
  uint16_t planes;
  uint16_t bitsPerPixel;  // 1, 4, 8, 16, 24 or 32
  uint32_t compression;   // kRgb or kBitfields
  uint32_t imageSize;     // not used: the row length decides
  int32_t xPixelsPerMetre, yPixelsPerMetre;
  uint32_t coloursUsed;   // colour-table entries; 0: all 2^bitsPerPixel
  uint32_t coloursImportant;
  uint32_t masks[3];      // red, green, blue bit-fields
};
static_assert(sizeof(InfoHeader) == 52);

// An entry of the colour table that follows the header.
struct PaletteEntry {
  uint8_t blue, green, red, reserved;
};

constexpr uint32_t kRgb = 0;        // BI_RGB: no compression
constexpr uint32_t kBitfields = 3;  // BI_BITFIELDS: channels given by masks
constexpr int64_t kMaxLength = std::numeric_limits<int32_t>::max();

template <typename T>
T load(const uint8_t* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

bool readAll(std::FILE* file, void* into, size_t length) {
  return length != 0 && std::fread(into, length, 1, file) == 1;
}

// A mask must be one run of set bits (or empty) to be turned into a channel.
bool contiguous(uint32_t mask) {
  const uint32_t run = mask == 0 ? 0 : mask >> std::countr_zero(mask);
  return (run & (run + 1)) == 0;
}

BmpRefusal takeMasks(const InfoHeader& header, size_t blockLength, BmpImage& image) {
  if (header.compression == kRgb) {  // the defaults: 5-5-5 for 16 bits, 8-8-8 for 32
    const bool sixteen = image.bitsPerPixel == 16;
    image.masks[0] = sixteen ? 0x7C00 : 0xFF0000;
    image.masks[1] = sixteen ? 0x03E0 : 0xFF00;
    image.masks[2] = sixteen ? 0x001F : 0xFF;
    return BmpRefusal::none;
  }
  if (header.compression != kBitfields || (image.bitsPerPixel != 16 && image.bitsPerPixel != 32)) {
    return BmpRefusal::unsupportedCompression;
  }
  if (blockLength < sizeof(InfoHeader)) return BmpRefusal::badMasks;
  const uint64_t usable = image.bitsPerPixel == 32 ? 0xFFFFFFFFu : 0xFFFFu;
  for (int i = 0; i < 3; ++i) {
    if (!contiguous(header.masks[i]) || header.masks[i] > usable) return BmpRefusal::badMasks;
    image.masks[i] = header.masks[i];
  }
  return BmpRefusal::none;
}

BmpRefusal takePalette(const InfoHeader& header, const std::vector<uint8_t>& block, BmpImage& image) {
  const uint32_t capacity = 1u << image.bitsPerPixel;
  const uint32_t entries = header.coloursUsed == 0 || header.coloursUsed > capacity ? capacity : header.coloursUsed;
  if (header.headerSize + uint64_t{entries} * sizeof(PaletteEntry) > block.size()) {
    return BmpRefusal::paletteOutsideBlock;
  }
  image.palette.resize(entries);
  for (uint32_t i = 0; i < entries; ++i) {
    const auto entry = load<PaletteEntry>(block.data() + header.headerSize + i * sizeof(PaletteEntry));
    image.palette[i] = uint32_t{entry.red} << 16 | uint32_t{entry.green} << 8 | entry.blue;
  }
  return BmpRefusal::none;
}

// Checks the information block and fills everything of `image` but the pixels.
BmpRefusal takeLayout(const std::vector<uint8_t>& block, BmpImage& image) {
  if (block.size() < offsetof(InfoHeader, compression)) return BmpRefusal::shortInfoBlock;
  InfoHeader header = {};
  std::memcpy(&header, block.data(), std::min(block.size(), sizeof header));
  const uint32_t size = header.headerSize;
  if (size != 40 && size != 52 && size != 56 && size != 108 && size != 124) return BmpRefusal::unsupportedHeader;
  if (size > block.size()) return BmpRefusal::shortInfoBlock;
  if (header.width <= 0 || header.height == 0) return BmpRefusal::badGeometry;
  const uint16_t bpp = header.bitsPerPixel;
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return BmpRefusal::unsupportedDepth;
  image.width = header.width;
  image.topDown = header.height < 0;
  image.bitsPerPixel = bpp;
  if (bpp <= 8 && header.compression != kRgb) return BmpRefusal::unsupportedCompression;
  const BmpRefusal refusal = bpp <= 8 ? takePalette(header, block, image) : takeMasks(header, block.size(), image);
  if (refusal != BmpRefusal::none) return refusal;
  // Each stored row is filled up to a multiple of 4 bytes.
  const int64_t row = (int64_t{bpp} * header.width + 31) / 32 * 4;
  const int64_t rows = header.height < 0 ? -int64_t{header.height} : header.height;
  if (row > kMaxLength || row * rows > kMaxLength) return BmpRefusal::tooLarge;
  image.height = static_cast<int32_t>(rows);
  image.rowLength = static_cast<uint32_t>(row);
  return BmpRefusal::none;
}

uint32_t channel(uint32_t pixel, uint32_t mask) {
  if (mask == 0) return 0;
  const int width = std::popcount(mask);
  const uint32_t value = (pixel & mask) >> std::countr_zero(mask);
  return width >= 8 ? value >> (width - 8) : value * 255 / ((1u << width) - 1);
}

}  // namespace

const char* bmpRefusalText(BmpRefusal refusal) {
  switch (refusal) {
    case BmpRefusal::none: return "loaded";
    case BmpRefusal::cannotOpen: return "cannot be opened as a regular file";
    case BmpRefusal::shortFileHeader: return "shorter than the 14-byte file header";
    case BmpRefusal::badPixelOffset: return "pixel-data offset not between 15 and the file size";
    case BmpRefusal::shortInfoBlock: return "information block too short";
    case BmpRefusal::unsupportedHeader: return "unsupported information header size";
    case BmpRefusal::badGeometry: return "width not positive or height 0";
    case BmpRefusal::unsupportedDepth: return "unsupported bits per pixel";
    case BmpRefusal::unsupportedCompression: return "unsupported compression";
    case BmpRefusal::badMasks: return "malformed bit-field masks";
    case BmpRefusal::paletteOutsideBlock: return "colour table beyond the information block";
    case BmpRefusal::tooLarge: return "image larger than 2 GB";
    case BmpRefusal::truncated: return "file ends before the blocks its headers announce";
  }
  return "unknown";
}

const uint8_t* BmpImage::storedRow(int64_t y) const {
  if (y < 0 || y >= height) return nullptr;
  const size_t start = static_cast<size_t>(topDown ? y : height - 1 - y) * rowLength;
  return pixels.size() < start + rowLength ? nullptr : pixels.data() + start;
}

// `row` holds rowLength bytes and x < width: every read below stays in the row.
uint32_t BmpImage::colourIn(const uint8_t* row, size_t x) const {
  auto indexed = [&](uint32_t index) { return index < palette.size() ? palette[index] : 0; };
  auto masked = [&](uint32_t pixel) {
    return channel(pixel, masks[0]) << 16 | channel(pixel, masks[1]) << 8 | channel(pixel, masks[2]);
  };
  switch (bitsPerPixel) {
    case 1: return indexed(row[x / 8] >> (7 - x % 8) & 0x1);
    case 4: return indexed(row[x / 2] >> (x % 2 == 0 ? 4 : 0) & 0xF);
    case 8: return indexed(row[x]);
    case 16: return masked(load<uint16_t>(row + 2 * x));
    case 24: return uint32_t{row[3 * x + 2]} << 16 | uint32_t{row[3 * x + 1]} << 8 | row[3 * x];
    case 32: return masked(load<uint32_t>(row + 4 * x));
    default: return 0;
  }
}

uint32_t BmpImage::colourAt(int64_t x, int64_t y) const {
  const uint8_t* row = storedRow(y);
  return row == nullptr || x < 0 || x >= width ? 0 : colourIn(row, static_cast<size_t>(x));
}

size_t BmpImage::copyRow(int64_t y, std::span<uint32_t> out) const {
  const uint8_t* row = storedRow(y);
  if (row == nullptr) return 0;
  const size_t count = std::min(out.size(), static_cast<size_t>(width));
  // The layouts a notice is made in get loops of their own, which the
  // compiler can widen; the rest go pixel by pixel.
  if (bitsPerPixel == 24) {
    for (size_t x = 0; x < count; ++x) {
      out[x] = uint32_t{row[3 * x + 2]} << 16 | uint32_t{row[3 * x + 1]} << 8 | row[3 * x];
    }
  } else if (bitsPerPixel == 8 && palette.size() == 256) {  // every byte is an index into the table
    for (size_t x = 0; x < count; ++x) out[x] = palette[row[x]];
  } else if (bitsPerPixel == 32 && masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF) {
    for (size_t x = 0; x < count; ++x) out[x] = load<uint32_t>(row + 4 * x) & 0xFFFFFF;
  } else {
    for (size_t x = 0; x < count; ++x) out[x] = colourIn(row, x);
  }
  return count;
}

BmpRefusal readBmp(std::FILE* file, BmpImage& image) {
  // The size of the file actually open, not of whatever the path names later.
  uint64_t fileSize = 0;
  if (std::fseek(file, 0, SEEK_END) == 0) fileSize = static_cast<uint64_t>(std::max(std::ftell(file), 0L));
  std::rewind(file);
  FileHeader header;
  if (!readAll(file, &header, sizeof header)) return BmpRefusal::shortFileHeader;
  // At 14 or less there is no information block; beyond the file, a lying
  // offset must not make us allocate what the file cannot hold.
  if (header.pixelOffset <= sizeof header || header.pixelOffset > fileSize) return BmpRefusal::badPixelOffset;
  std::vector<uint8_t> block(header.pixelOffset - sizeof header);
  if (!readAll(file, block.data(), block.size())) return BmpRefusal::truncated;
  BmpImage loaded;
  if (const BmpRefusal refusal = takeLayout(block, loaded); refusal != BmpRefusal::none) return refusal;
  const uint64_t length = uint64_t{loaded.rowLength} * static_cast<uint32_t>(loaded.height);
  if (header.pixelOffset + length > fileSize) return BmpRefusal::truncated;
  loaded.pixels.resize(length);
  if (!readAll(file, loaded.pixels.data(), length)) return BmpRefusal::truncated;
  image = std::move(loaded);
  return BmpRefusal::none;
}

BmpRefusal readBmpFile(const char* path, BmpImage& image) {
  // Only regular files: a FIFO left at the path would block the open.
  std::error_code error;
  if (path == nullptr || !std::filesystem::is_regular_file(path, error)) return BmpRefusal::cannotOpen;
  std::FILE* file = std::fopen(path, "rbe");  // e: close-on-exec
  if (file == nullptr) return BmpRefusal::cannotOpen;
  const BmpRefusal refusal = readBmp(file, image);
  std::fclose(file);
  return refusal;
}

}  // namespace shub::sleepscreen
