// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The BMP file format: a file read in three reads (file header, information
// block, pixel rows) into a checked image whose colours can be looked up.
//
// The file may be truncated, lie about its offsets and sizes, or not be a BMP
// at all: every field is read only from bytes known to be there, sizes are
// worked out in 64 bits, nothing larger than the file is allocated, and a
// refused file names the reason and leaves the image as it was.
#pragma once

#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <span>
#include <vector>

namespace shub::sleepscreen {

// Why a file was refused; bmpRefusalText() says it in words.
enum class BmpRefusal {
  none,                    // the image loaded
  cannotOpen,              // missing, unreadable or not a regular file
  shortFileHeader,         // fewer than 14 bytes
  badPixelOffset,          // pixel data said to start at 14 or before, or beyond the file
  shortInfoBlock,          // information block under 16 bytes, or shorter than its own header
  unsupportedHeader,       // header size other than 40, 52, 56, 108 or 124
  badGeometry,             // width not above 0, or height 0
  unsupportedDepth,        // bits per pixel other than 1, 4, 8, 16, 24 or 32
  unsupportedCompression,  // RLE, JPEG, PNG, or bit-fields on a depth without them
  badMasks,                // bit-fields missing, not one run of bits, or wider than a pixel
  paletteOutsideBlock,     // the colour table reaches beyond the information block
  tooLarge,                // a row or the whole image above INT32_MAX bytes
  truncated,               // the file ends before the information block or the pixel data do
};

const char* bmpRefusalText(BmpRefusal refusal);

// A checked image: its pixel rows exactly as stored in the file.
struct BmpImage {
  int32_t width = 0;      // pixels, > 0
  int32_t height = 0;     // rows, > 0: the magnitude of the header's height
  bool topDown = false;   // the header's height was negative
  uint16_t bitsPerPixel = 0;
  uint32_t rowLength = 0;         // bytes per stored row, a multiple of 4
  uint32_t masks[3] = {};         // red, green, blue of a 16- or 32-bit pixel
  std::vector<uint32_t> palette;  // 0x00RRGGBB, indexed depths only
  std::vector<uint8_t> pixels;    // rowLength * height bytes

  // Colour of column x, row y (row 0 at the top), 0x00RRGGBB; black outside.
  uint32_t colourAt(int64_t x, int64_t y) const;
  // The colours of row y from column 0 into `out`, as colourAt gives them,
  // a whole row at a time; returns how many were written: at most the width,
  // none for a row outside the image. Entries beyond those are not touched.
  size_t copyRow(int64_t y, std::span<uint32_t> out) const;

 private:
  // The stored row that shows as row y, or nullptr outside the image.
  const uint8_t* storedRow(int64_t y) const;
  uint32_t colourIn(const uint8_t* row, size_t x) const;
};

// Reads from the start of `file`; bytes after the pixel rows are not read.
// `image` changes only when the result is BmpRefusal::none.
BmpRefusal readBmp(std::FILE* file, BmpImage& image);

// The same from a regular host file at `path`.
BmpRefusal readBmpFile(const char* path, BmpImage& image);

}  // namespace shub::sleepscreen
