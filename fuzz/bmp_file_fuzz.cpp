// Fuzzes the BMP reader: the input is the whole file, served from memory. An
// accepted image is drawn into a frame smaller than it and into one larger,
// so that every colour lookup, the cut at the edges and the black beyond are
// exercised. A refused file must leave the image untouched and must not have
// read more than the three blocks.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sleepscreen/bmp_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sleepscreen::MemoryBmpSource source(data, size);
  sleepscreen::BmpImage image;
  image.width = -7;  // a sentinel a refusal must leave in place
  const sleepscreen::BmpRefusal refusal = sleepscreen::readBmp(source, image);
  if (source.reads.size() > 3) std::abort();
  if (refusal != sleepscreen::BmpRefusal::none) {
    if (image.width != -7) std::abort();
    return 0;
  }
  if (image.pixels.size() != size_t{image.rowLength} * static_cast<size_t>(image.height)) std::abort();
  for (const int side : {16, 300}) {
    std::vector<uint32_t> frame(static_cast<size_t>(side) * side, 0x123456);
    sleepscreen::drawBmp(image, side, side, frame.data());
  }
  // Outside the image: black, never a read.
  if (image.colourAt(-1, 0) != 0 || image.colourAt(image.width, 0) != 0 ||
      image.colourAt(0, image.height) != 0) {
    std::abort();
  }
  return 0;
}
