// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes the BMP reader: the input is the whole file, served from memory.
// Every colour of an accepted image is looked up, one by one and by whole
// rows, and must be 0x00RRGGBB, and the black beyond it checked. A refused
// file must leave the image untouched.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sleepscreen/bmp_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (file == nullptr) return 0;
  shub::sleepscreen::BmpImage image;
  image.width = -7;  // a sentinel a refusal must leave in place
  const shub::sleepscreen::BmpRefusal refusal = shub::sleepscreen::readBmp(file, image);
  std::fclose(file);
  if (refusal != shub::sleepscreen::BmpRefusal::none) {
    if (image.width != -7) std::abort();
    return 0;
  }
  if (image.pixels.size() != size_t{image.rowLength} * static_cast<size_t>(image.height)) std::abort();
  // Rows copied whole must match the pixels looked up one by one.
  std::vector<uint32_t> row(std::min(static_cast<size_t>(image.width), size_t{300}));
  for (int y = 0; y < image.height && y < 300; ++y) {
    if (image.copyRow(y, row) != row.size()) std::abort();
    for (int x = 0; x < image.width && x < 300; ++x) {
      if (image.colourAt(x, y) > 0xFFFFFF || row[static_cast<size_t>(x)] != image.colourAt(x, y)) std::abort();
    }
  }
  // Outside the image: black, never a read.
  if (image.colourAt(-1, 0) != 0 || image.colourAt(image.width, 0) != 0 ||
      image.colourAt(0, image.height) != 0) {
    std::abort();
  }
  return 0;
}
