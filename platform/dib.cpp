// Device-independent bitmaps: parsing the information block of a BMP file into
// a checked layout, owning the pixel buffer, and reading colours back out.
//
// Must survive any block a file may hold: fields are read only after the
// length has been checked, sizes are computed in 64 bits and refused above
// INT32_MAX, and pixel reads never leave the buffer whatever the coordinates.
#include "platform/dib.h"

#include <bit>
#include <cstring>
#include <limits>
#include <new>

namespace ce {

namespace {

constexpr size_t kInfoHeaderLength = 40;  // BITMAPINFOHEADER
constexpr size_t kMasksLength = 12;       // red, green, blue masks after a 40-byte header

// Header sizes we draw: BITMAPINFOHEADER, the V2/V3 variants with masks inside,
// BITMAPV4HEADER and BITMAPV5HEADER. All share the first 52 bytes' layout.
// The 12-byte core header has 16-bit sizes at other offsets and is refused.
bool knownHeaderSize(uint32_t size) {
  return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

uint32_t readU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

int32_t readI32(const uint8_t* p) { return static_cast<int32_t>(readU32(p)); }

bool knownDepth(uint16_t bpp) {
  return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
}

// A mask must be one run of set bits (or empty) to be turned into a channel.
bool contiguous(uint32_t mask) {
  if (mask == 0) return true;
  uint32_t run = mask >> std::countr_zero(mask);
  return (run & (run + 1)) == 0;
}

bool readMasks(const uint8_t* p, size_t length, uint32_t headerSize, DibLayout& out) {
  // Inside the header from V2 on; after a 40-byte header otherwise. Same offset.
  if (headerSize == kInfoHeaderLength && length < kInfoHeaderLength + kMasksLength) return false;
  uint64_t usable = out.bitsPerPixel == 32 ? 0xFFFFFFFFu : 0xFFFFu;
  for (int i = 0; i < 3; ++i) {
    uint32_t mask = readU32(p + kInfoHeaderLength + 4 * i);
    if (!contiguous(mask) || mask > usable) return false;
    out.masks[i] = mask;
  }
  return true;
}

void defaultMasks(DibLayout& out) {
  if (out.bitsPerPixel == 16) {
    out.masks[0] = 0x7C00, out.masks[1] = 0x03E0, out.masks[2] = 0x001F;  // 5-5-5
  } else if (out.bitsPerPixel == 32) {
    out.masks[0] = 0xFF0000, out.masks[1] = 0xFF00, out.masks[2] = 0xFF;
  }
}

bool readPalette(const uint8_t* p, size_t length, uint32_t headerSize, DibLayout& out) {
  uint32_t capacity = 1u << out.bitsPerPixel;
  uint32_t used = readU32(p + 32);  // biClrUsed: 0 means the full table
  uint32_t entries = used == 0 || used > capacity ? capacity : used;
  // The table must lie wholly inside the block; we never read past it.
  if (headerSize + uint64_t{entries} * 4 > length) return false;
  const uint8_t* table = p + headerSize;
  for (uint32_t i = 0; i < entries; ++i) {
    const uint8_t* quad = table + 4 * i;  // blue, green, red, reserved
    out.palette[i] = uint32_t{quad[2]} << 16 | uint32_t{quad[1]} << 8 | quad[0];
  }
  out.paletteSize = entries;
  return true;
}

bool readGeometry(const uint8_t* p, DibLayout& out) {
  int32_t width = readI32(p + 4);
  int32_t height = readI32(p + 8);
  if (width <= 0 || height == 0 || height == std::numeric_limits<int32_t>::min()) return false;
  out.width = width;
  out.topDown = height < 0;
  out.height = height < 0 ? -height : height;
  out.bitsPerPixel = readU16(p + 14);
  if (!knownDepth(out.bitsPerPixel)) return false;
  int64_t row = (int64_t{out.bitsPerPixel} * width + 31) / 32 * 4;
  if (row > std::numeric_limits<int32_t>::max()) return false;  // and the product fits 64 bits
  int64_t image = row * out.height;
  if (image > std::numeric_limits<int32_t>::max()) return false;
  out.rowLength = static_cast<uint32_t>(row);
  out.imageLength = static_cast<uint32_t>(image);
  return true;
}

// Channel value of `pixel` under `mask`, scaled to 0..255.
uint32_t channel(uint32_t pixel, uint32_t mask) {
  if (mask == 0) return 0;
  int shift = std::countr_zero(mask);
  int width = std::popcount(mask);
  uint32_t value = (pixel & mask) >> shift;
  if (width >= 8) return value >> (width - 8);
  return value * 255 / ((1u << width) - 1);
}

uint32_t maskedColour(uint32_t pixel, const uint32_t (&masks)[3]) {
  return channel(pixel, masks[0]) << 16 | channel(pixel, masks[1]) << 8 | channel(pixel, masks[2]);
}

uint32_t indexedColour(const DibLayout& layout, uint32_t index) {
  return index < layout.paletteSize ? layout.palette[index] : 0;
}

}  // namespace

bool parseDibInfo(const void* info, size_t length, DibLayout& layout) {
  if (info == nullptr || length < kInfoHeaderLength) return false;
  const auto* p = static_cast<const uint8_t*>(info);
  uint32_t headerSize = readU32(p);
  if (!knownHeaderSize(headerSize) || headerSize > length) return false;
  DibLayout out;
  if (!readGeometry(p, out)) return false;
  uint32_t compression = readU32(p + 16);
  if (compression == BI_BITFIELDS) {
    if (out.bitsPerPixel != 16 && out.bitsPerPixel != 32) return false;
    if (!readMasks(p, length, headerSize, out)) return false;
  } else if (compression == BI_RGB) {
    defaultMasks(out);
  } else {
    return false;  // RLE, JPEG, PNG and the rest: not drawable here
  }
  if (out.bitsPerPixel <= 8 && !readPalette(p, length, headerSize, out)) return false;
  layout = out;
  return true;
}

Bitmap* createDibSection(const void* info, size_t length, uint32_t usage, uint8_t** bits,
                         size_t* bitsLength) {
  if (usage != DIB_RGB_COLORS) return nullptr;  // palette indices into a context: not supported
  auto* bitmap = new (std::nothrow) Bitmap;
  if (bitmap == nullptr) return nullptr;
  if (!parseDibInfo(info, length, bitmap->layout)) {
    delete bitmap;
    return nullptr;
  }
  bitmap->bits.reset(new (std::nothrow) uint8_t[bitmap->layout.imageLength]());
  if (bitmap->bits == nullptr) {
    delete bitmap;
    return nullptr;
  }
  if (bits != nullptr) *bits = bitmap->bits.get();
  if (bitsLength != nullptr) *bitsLength = bitmap->layout.imageLength;
  return bitmap;
}

void destroyDibSection(Bitmap* bitmap) { delete bitmap; }

uint32_t dibPixel(const Bitmap& bitmap, int64_t x, int64_t y) {
  const DibLayout& l = bitmap.layout;
  if (bitmap.bits == nullptr || x < 0 || y < 0 || x >= l.width || y >= l.height) return 0;
  int64_t storedRow = l.topDown ? y : l.height - 1 - y;
  const uint8_t* row = bitmap.bits.get() + storedRow * l.rowLength;
  switch (l.bitsPerPixel) {
    case 1: return indexedColour(l, row[x / 8] >> (7 - x % 8) & 0x1);
    case 4: return indexedColour(l, row[x / 2] >> (x % 2 == 0 ? 4 : 0) & 0xF);
    case 8: return indexedColour(l, row[x]);
    case 16: return maskedColour(readU16(row + 2 * x), l.masks);
    case 24: {
      const uint8_t* bgr = row + 3 * x;
      return uint32_t{bgr[2]} << 16 | uint32_t{bgr[1]} << 8 | bgr[0];
    }
    case 32: return maskedColour(readU32(row + 4 * x), l.masks);
    default: return 0;
  }
}

void readDibRect(const Bitmap* bitmap, int64_t x, int64_t y, int width, int height, uint32_t* out) {
  if (width <= 0 || height <= 0) return;
  size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (bitmap == nullptr || bitmap->bits == nullptr) {
    std::memset(out, 0, count * sizeof *out);
    return;
  }
  for (int row = 0; row < height; ++row) {
    uint32_t* line = out + static_cast<size_t>(row) * static_cast<size_t>(width);
    for (int column = 0; column < width; ++column) line[column] = dibPixel(*bitmap, x + column, y + row);
  }
}

}  // namespace ce
