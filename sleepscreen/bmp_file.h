// The BMP file format: a file read into a checked image, and the image's
// colours drawn into a screen-sized frame.
//
// The file may be truncated, lie about its offsets and sizes, or not be a BMP
// at all. Every field is read only after the bytes it lies in are known to be
// there, sizes are worked out in 64 bits, nothing larger than the file is ever
// allocated, and a refused file names the reason and leaves the image as it
// was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sleepscreen {

// The 14-byte BITMAPFILEHEADER at the start of the file, little-endian.
struct BmpFileHeader {
  static constexpr size_t kLength = 14;
  uint16_t signature = 0;    // @0: "BM" in a well-made file; not examined
  uint32_t fileSize = 0;     // @2: not examined (the real size is asked of the source)
  uint32_t pixelOffset = 0;  // @10: where the pixel data start, from the start of the file
};

// The fields of the information block (BITMAPINFOHEADER and its V2 to V5
// successors, which share these offsets) that decide how pixels are laid out.
struct BmpInfoHeader {
  static constexpr size_t kMinLength = 16;  // what width, height and depth need
  uint32_t headerSize = 0;     // @0: 40, 52, 56, 108 or 124 (12, the core header, is refused)
  int32_t width = 0;           // @4: pixels, > 0
  int32_t height = 0;          // @8: rows; negative when the top row is stored first
  uint16_t bitsPerPixel = 0;   // @14: 1, 4, 8, 16, 24 or 32
  uint32_t compression = 0;    // @16: 0 BI_RGB or 3 BI_BITFIELDS
  uint32_t coloursUsed = 0;    // @32: colour-table entries; 0 means all 2^bitsPerPixel
  uint32_t masks[3] = {};      // @40: red, green, blue bit-fields (after a 40-byte header, or inside a longer one)
};

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

// Where the bytes come from: a file, or memory for tests and the fuzzer.
class BmpSource {
 public:
  virtual ~BmpSource() = default;
  // Bytes in the whole source.
  virtual uint64_t size() = 0;
  // The next `length` bytes: true only when all of them arrived.
  virtual bool read(void* into, size_t length) = 0;
};

// A source over bytes held in memory; it records the length of every read.
class MemoryBmpSource final : public BmpSource {
 public:
  MemoryBmpSource(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  uint64_t size() override { return size_; }
  bool read(void* into, size_t length) override;
  std::vector<size_t> reads;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// A checked image: its pixel rows exactly as stored in the file.
struct BmpImage {
  int32_t width = 0;          // pixels, > 0
  int32_t height = 0;         // rows, > 0: the magnitude of the header's height
  bool topDown = false;       // the header's height was negative
  uint16_t bitsPerPixel = 0;
  uint32_t rowLength = 0;     // bytes per stored row, a multiple of 4
  uint32_t masks[3] = {};     // red, green, blue of a 16- or 32-bit pixel
  std::vector<uint32_t> palette;  // 0x00RRGGBB, indexed depths only
  std::vector<uint8_t> pixels;    // rowLength * height bytes

  // Colour of column x, row y (row 0 at the top), 0x00RRGGBB; black outside.
  uint32_t colourAt(int64_t x, int64_t y) const;
};

// Reads file header, information block and pixel data in three reads, never
// seeking; bytes after the pixel data are not read. `image` changes only when
// the result is BmpRefusal::none.
BmpRefusal readBmp(BmpSource& source, BmpImage& image);

// The same from a host file.
BmpRefusal readBmpFile(const char* path, BmpImage& image);

// Draws `image` unscaled at (0, 0) of a frame of width x height 0x00RRGGBB
// pixels (rows from the top). The image is cut at the frame's right and bottom
// edges; the frame beyond the image is left as it was.
void drawBmp(const BmpImage& image, int width, int height, uint32_t* frame);

}  // namespace sleepscreen
