// Device-independent bitmaps: the stand-in for CreateDIBSection. An
// information block (a BITMAPINFOHEADER or its V4/V5 successors, optional
// bit-field masks, colour table) becomes a bitmap that owns a pixel buffer laid
// out exactly as the block says, so a loader can read pixel data straight in.
//
// The block comes from a file and may say anything: every field is checked
// against the block's length before use, and whatever cannot be drawn (RLE,
// the 12-byte core header, odd depths, sizes beyond 32 bits) is refused
// instead of guessed at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ce {

inline constexpr uint32_t BI_RGB = 0;
inline constexpr uint32_t BI_RLE8 = 1;
inline constexpr uint32_t BI_RLE4 = 2;
inline constexpr uint32_t BI_BITFIELDS = 3;
inline constexpr uint32_t DIB_RGB_COLORS = 0;

// What an accepted information block describes.
struct DibLayout {
  int32_t width = 0;          // pixels, > 0
  int32_t height = 0;         // rows, > 0: the magnitude of the header's height
  bool topDown = false;       // the header's height was negative: top row stored first
  uint16_t bitsPerPixel = 0;  // 1, 4, 8, 16, 24 or 32
  uint32_t rowLength = 0;     // bytes per stored row, a multiple of 4
  uint32_t imageLength = 0;   // rowLength * height, never above INT32_MAX
  uint32_t masks[3] = {};     // red, green, blue bits of a 16- or 32-bit pixel
  uint32_t paletteSize = 0;   // entries of `palette` in use (indexed depths only)
  uint32_t palette[256] = {}; // 0x00RRGGBB
};

// A graphics object: one DIB section and its pixels. `selectedInto` is the
// memory context it is selected into, if any (see gdi.h).
struct Bitmap {
  DibLayout layout;
  std::unique_ptr<uint8_t[]> bits;  // layout.imageLength bytes, zero-filled when made
  const void* selectedInto = nullptr;
};

// Checks and decodes an information block of `length` bytes. False, leaving
// `layout` untouched, for anything that cannot be drawn.
bool parseDibInfo(const void* info, size_t length, DibLayout& layout);

// CreateDIBSection without a reference context or file section, colours as
// RGB. On success `*bits` is the pixel buffer and `*bitsLength` its size
// (either pointer may be null). nullptr when the block is refused or memory is
// short.
Bitmap* createDibSection(const void* info, size_t length, uint32_t usage, uint8_t** bits,
                         size_t* bitsLength);

// Frees a bitmap made by createDibSection. Use deleteObject() (gdi.h) for
// bitmaps that may be selected into a context.
void destroyDibSection(Bitmap* bitmap);

// Colour of the pixel in column x, row y (row 0 at the top), 0x00RRGGBB.
// Black outside the image.
uint32_t dibPixel(const Bitmap& bitmap, int64_t x, int64_t y);

// Fills `out` (width * height entries, rows from the top) with the colours of
// the rectangle at (x, y) of `bitmap`; black wherever the rectangle leaves the
// image, and everywhere when `bitmap` is null or holds no image.
void readDibRect(const Bitmap* bitmap, int64_t x, int64_t y, int width, int height, uint32_t* out);

}  // namespace ce
