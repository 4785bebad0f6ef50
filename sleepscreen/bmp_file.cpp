// The BMP file format (see bmp_file.h): the file header, the information
// block and the pixel data in three reads, each block checked before the next
// is asked for, and the colours of the accepted layouts read back out.
//
// Must survive any bytes: lengths are compared with what the source holds
// before anything is allocated for them, and colour lookups never leave the
// pixel rows or the colour table whatever the coordinates.
#include "sleepscreen/bmp_file.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

namespace sleepscreen {

namespace {

constexpr uint32_t kRgb = 0;        // BI_RGB: no compression
constexpr uint32_t kBitfields = 3;  // BI_BITFIELDS: channels given by masks
constexpr size_t kMasksEnd = 52;    // the three masks end 52 bytes into the block
constexpr int64_t kMaxLength = std::numeric_limits<int32_t>::max();

uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t readU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

BmpFileHeader parseFileHeader(const uint8_t (&bytes)[BmpFileHeader::kLength]) {
  return {readU16(bytes), readU32(bytes + 2), readU32(bytes + 10)};
}

// `block` holds at least BmpInfoHeader::kMinLength bytes; the fields beyond
// the first 16 are read only where the block holds them.
BmpInfoHeader parseInfoHeader(const std::vector<uint8_t>& block) {
  const uint8_t* p = block.data();
  BmpInfoHeader header;
  header.headerSize = readU32(p);
  header.width = static_cast<int32_t>(readU32(p + 4));
  header.height = static_cast<int32_t>(readU32(p + 8));
  header.bitsPerPixel = readU16(p + 14);
  if (block.size() >= 40) {
    header.compression = readU32(p + 16);
    header.coloursUsed = readU32(p + 32);
  }
  if (block.size() >= kMasksEnd) {
    for (int i = 0; i < 3; ++i) header.masks[i] = readU32(p + 40 + 4 * i);
  }
  return header;
}

// Bytes in one stored row: each row is filled up to a multiple of 4 bytes.
int64_t rowLengthOf(uint16_t bitsPerPixel, int32_t width) {
  return (int64_t{bitsPerPixel} * width + 31) / 32 * 4;
}

bool knownHeaderSize(uint32_t size) {
  return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

bool knownDepth(uint16_t bpp) {
  return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
}

// A mask must be one run of set bits (or empty) to be turned into a channel.
bool contiguous(uint32_t mask) {
  if (mask == 0) return true;
  uint32_t run = mask >> std::countr_zero(mask);
  return (run & (run + 1)) == 0;
}

BmpRefusal takeMasks(const BmpInfoHeader& header, size_t blockLength, BmpImage& image) {
  if (header.compression == kRgb) {
    // The defaults: 5-5-5 for 16 bits, 8-8-8 for 32.
    const bool sixteen = image.bitsPerPixel == 16;
    image.masks[0] = sixteen ? 0x7C00 : 0xFF0000;
    image.masks[1] = sixteen ? 0x03E0 : 0xFF00;
    image.masks[2] = sixteen ? 0x001F : 0xFF;
    return BmpRefusal::none;
  }
  if (header.compression != kBitfields || (image.bitsPerPixel != 16 && image.bitsPerPixel != 32)) {
    return BmpRefusal::unsupportedCompression;
  }
  // Inside the header from V2 on, after a 40-byte header otherwise: the same offset.
  if (blockLength < kMasksEnd) return BmpRefusal::badMasks;
  const uint64_t usable = image.bitsPerPixel == 32 ? 0xFFFFFFFFu : 0xFFFFu;
  for (int i = 0; i < 3; ++i) {
    if (!contiguous(header.masks[i]) || header.masks[i] > usable) return BmpRefusal::badMasks;
    image.masks[i] = header.masks[i];
  }
  return BmpRefusal::none;
}

BmpRefusal takePalette(const BmpInfoHeader& header, const std::vector<uint8_t>& block,
                       BmpImage& image) {
  const uint32_t capacity = 1u << image.bitsPerPixel;
  const uint32_t used = header.coloursUsed;
  const uint32_t entries = used == 0 || used > capacity ? capacity : used;
  // The table must lie wholly inside the block.
  if (header.headerSize + uint64_t{entries} * 4 > block.size()) return BmpRefusal::paletteOutsideBlock;
  image.palette.resize(entries);
  for (uint32_t i = 0; i < entries; ++i) {
    const uint8_t* quad = block.data() + header.headerSize + 4 * i;  // blue, green, red, reserved
    image.palette[i] = uint32_t{quad[2]} << 16 | uint32_t{quad[1]} << 8 | quad[0];
  }
  return BmpRefusal::none;
}

// Checks the information block and fills everything of `image` but the pixels.
BmpRefusal takeLayout(const std::vector<uint8_t>& block, BmpImage& image) {
  if (block.size() < BmpInfoHeader::kMinLength) return BmpRefusal::shortInfoBlock;
  const BmpInfoHeader header = parseInfoHeader(block);
  if (!knownHeaderSize(header.headerSize)) return BmpRefusal::unsupportedHeader;
  if (header.headerSize > block.size()) return BmpRefusal::shortInfoBlock;
  if (header.width <= 0 || header.height == 0) return BmpRefusal::badGeometry;
  if (!knownDepth(header.bitsPerPixel)) return BmpRefusal::unsupportedDepth;
  image.width = header.width;
  image.topDown = header.height < 0;
  const int64_t rows = header.height < 0 ? -int64_t{header.height} : int64_t{header.height};
  image.bitsPerPixel = header.bitsPerPixel;
  if (image.bitsPerPixel <= 8 && header.compression != kRgb) return BmpRefusal::unsupportedCompression;
  const BmpRefusal refusal = image.bitsPerPixel <= 8 ? takePalette(header, block, image)
                                                     : takeMasks(header, block.size(), image);
  if (refusal != BmpRefusal::none) return refusal;
  const int64_t row = rowLengthOf(header.bitsPerPixel, header.width);
  if (row > kMaxLength || row * rows > kMaxLength) return BmpRefusal::tooLarge;
  image.height = static_cast<int32_t>(rows);
  image.rowLength = static_cast<uint32_t>(row);
  return BmpRefusal::none;
}

uint32_t channel(uint32_t pixel, uint32_t mask) {
  if (mask == 0) return 0;
  const int shift = std::countr_zero(mask);
  const int width = std::popcount(mask);
  const uint32_t value = (pixel & mask) >> shift;
  if (width >= 8) return value >> (width - 8);
  return value * 255 / ((1u << width) - 1);
}

uint32_t maskedColour(uint32_t pixel, const uint32_t (&masks)[3]) {
  return channel(pixel, masks[0]) << 16 | channel(pixel, masks[1]) << 8 | channel(pixel, masks[2]);
}

class FileBmpSource final : public BmpSource {
 public:
  explicit FileBmpSource(std::FILE* file) : file_(file) {
    // The size of the file actually opened, not of whatever the path names later.
    if (std::fseek(file, 0, SEEK_END) == 0) {
      const long end = std::ftell(file);
      size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    std::rewind(file);
  }
  ~FileBmpSource() override { std::fclose(file_); }
  FileBmpSource(const FileBmpSource&) = delete;
  FileBmpSource& operator=(const FileBmpSource&) = delete;
  uint64_t size() override { return size_; }
  bool read(void* into, size_t length) override {
    return length != 0 && std::fread(into, length, 1, file_) == 1;
  }

 private:
  std::FILE* file_;
  uint64_t size_ = 0;
};

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

bool MemoryBmpSource::read(void* into, size_t length) {
  reads.push_back(length);
  if (length == 0 || size_ - position_ < length) {
    position_ = size_;
    return false;
  }
  std::memcpy(into, data_ + position_, length);
  position_ += length;
  return true;
}

uint32_t BmpImage::colourAt(int64_t x, int64_t y) const {
  if (x < 0 || y < 0 || x >= width || y >= height) return 0;
  const int64_t storedRow = topDown ? y : height - 1 - y;
  const size_t start = static_cast<size_t>(storedRow) * rowLength;
  if (pixels.size() < start + rowLength) return 0;
  const uint8_t* row = pixels.data() + start;
  auto indexed = [&](uint32_t index) { return index < palette.size() ? palette[index] : 0; };
  switch (bitsPerPixel) {
    case 1: return indexed(row[x / 8] >> (7 - x % 8) & 0x1);
    case 4: return indexed(row[x / 2] >> (x % 2 == 0 ? 4 : 0) & 0xF);
    case 8: return indexed(row[x]);
    case 16: return maskedColour(readU16(row + 2 * x), masks);
    case 24: return uint32_t{row[3 * x + 2]} << 16 | uint32_t{row[3 * x + 1]} << 8 | row[3 * x];
    case 32: return maskedColour(readU32(row + 4 * x), masks);
    default: return 0;
  }
}

BmpRefusal readBmp(BmpSource& source, BmpImage& image) {
  const uint64_t fileSize = source.size();
  uint8_t headerBytes[BmpFileHeader::kLength];
  if (!source.read(headerBytes, sizeof headerBytes)) return BmpRefusal::shortFileHeader;
  const BmpFileHeader header = parseFileHeader(headerBytes);
  // At 14 or less there is no information block; beyond the file, a lying
  // offset must not make us allocate what the file cannot hold.
  if (header.pixelOffset <= BmpFileHeader::kLength || header.pixelOffset > fileSize) {
    return BmpRefusal::badPixelOffset;
  }
  std::vector<uint8_t> block(header.pixelOffset - BmpFileHeader::kLength);
  if (!source.read(block.data(), block.size())) return BmpRefusal::truncated;
  BmpImage loaded;
  if (BmpRefusal refusal = takeLayout(block, loaded); refusal != BmpRefusal::none) return refusal;
  const uint64_t pixelLength = uint64_t{loaded.rowLength} * static_cast<uint32_t>(loaded.height);
  if (header.pixelOffset + pixelLength > fileSize) return BmpRefusal::truncated;
  loaded.pixels.resize(pixelLength);
  if (!source.read(loaded.pixels.data(), loaded.pixels.size())) return BmpRefusal::truncated;
  image = std::move(loaded);
  return BmpRefusal::none;
}

BmpRefusal readBmpFile(const char* path, BmpImage& image) {
  // Only regular files: a FIFO left at the path would block the open.
  std::error_code error;
  if (path == nullptr || !std::filesystem::is_regular_file(path, error)) return BmpRefusal::cannotOpen;
  std::FILE* file = std::fopen(path, "rbe");  // e: close-on-exec
  if (file == nullptr) return BmpRefusal::cannotOpen;
  FileBmpSource source(file);
  return readBmp(source, image);
}

void drawBmp(const BmpImage& image, int width, int height, uint32_t* frame) {
  const int columns = std::min(width, image.width);
  const int rows = std::min(height, image.height);
  for (int y = 0; y < rows; ++y) {
    uint32_t* line = frame + static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int x = 0; x < columns; ++x) line[x] = image.colourAt(x, y);
  }
}

}  // namespace sleepscreen
