// BitmapLoader: file header, information block and pixel data in three reads
// (see bitmap_loader.h). Every path out closes the file and frees the
// information block; the bitmap survives only when its pixels arrived whole.
#include "sleepscreen/bitmap_loader.h"

#include <cstdlib>
#include <limits>

#include "platform/dib.h"
#include "platform/file_stream.h"
#include "platform/gdi.h"

namespace sleepscreen {

namespace {

constexpr size_t kFileHeaderLength = 14;   // BITMAPFILEHEADER
constexpr size_t kPixelOffsetField = 10;   // u32 in the file header: where the pixels start
constexpr size_t kGeometryLength = 16;     // width @4, height @8, bits per pixel @14

class PlatformLoaderSystem final : public LoaderSystem {
 public:
  LoaderFile* open(const char* path) override {
    return reinterpret_cast<LoaderFile*>(ce::openFileStream(path));
  }
  uint64_t size(LoaderFile* file) override { return ce::fileStreamSize(stream(file)); }
  bool read(LoaderFile* file, void* buffer, size_t length) override {
    return ce::readFileStream(stream(file), buffer, length);
  }
  void close(LoaderFile* file) override { ce::closeFileStream(stream(file)); }
  void* allocate(size_t length) override { return std::malloc(length); }
  void release(void* block) override { std::free(block); }
  ce::Bitmap* createDib(const void* info, size_t length, uint8_t** bits,
                        size_t* bitsLength) override {
    return ce::createDibSection(info, length, ce::DIB_RGB_COLORS, bits, bitsLength);
  }
  void deleteBitmap(ce::Bitmap* bitmap) override { ce::deleteObject(bitmap); }

 private:
  static ce::FileStream* stream(LoaderFile* file) { return reinterpret_cast<ce::FileStream*>(file); }
};

uint32_t readU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The steps after the file header, with the file open. Returns the bitmap or
// nullptr; never closes the file (the caller does, once, on every path).
ce::Bitmap* loadBody(LoaderSystem& system, LoaderFile* file, uint32_t pixelOffset) {
  // An offset of 14 or less leaves no information block (in 32-bit unsigned
  // arithmetic it would wrap to an impossible size). Nothing larger than the
  // file is allocated, so a lying offset cannot ask for gigabytes.
  uint64_t fileSize = system.size(file);
  if (pixelOffset <= kFileHeaderLength || pixelOffset > fileSize) return nullptr;
  size_t infoLength = pixelOffset - kFileHeaderLength;
  auto* info = static_cast<uint8_t*>(system.allocate(infoLength));
  if (info == nullptr) return nullptr;
  ce::Bitmap* bitmap = nullptr;
  if (system.read(file, info, infoLength)) {
    // The length is worked out before the DIB is made, so that a length the
    // file cannot hold is refused without allocating a pixel buffer for it.
    uint32_t pixelLength = pixelDataLength(info, infoLength);
    uint8_t* bits = nullptr;
    size_t bitsLength = 0;
    if (pixelLength != 0 && uint64_t{pixelOffset} + pixelLength <= fileSize) {
      bitmap = system.createDib(info, infoLength, &bits, &bitsLength);
    }
    // Never read more than the bitmap's own buffer holds, whatever the
    // header and the DIB creation disagree on.
    if (bitmap != nullptr &&
        (bits == nullptr || pixelLength > bitsLength || !system.read(file, bits, pixelLength))) {
      system.deleteBitmap(bitmap);
      bitmap = nullptr;
    }
  }
  system.release(info);
  return bitmap;
}

}  // namespace

LoaderSystem& platformLoaderSystem() {
  static PlatformLoaderSystem system;
  return system;
}

uint32_t pixelDataLength(const uint8_t* info, size_t length) {
  // Shorter blocks cannot hold the three fields; refusing beats reading past them.
  if (info == nullptr || length < kGeometryLength) return 0;
  auto width = static_cast<int32_t>(readU32(info + 4));
  auto height = static_cast<int32_t>(readU32(info + 8));
  int64_t bitsPerPixel = info[14] | info[15] << 8;
  // 64-bit arithmetic: a 32-bit product could overflow. A
  // negative height (top-down rows) counts by its magnitude; the DIB stores
  // the same |height| rows.
  int64_t row = (bitsPerPixel * width + 31) / 32 * 4;
  int64_t rows = height < 0 ? -int64_t{height} : int64_t{height};
  if (row <= 0 || row > std::numeric_limits<int32_t>::max()) return 0;
  int64_t total = row * rows;  // below 2^62: cannot overflow
  if (total <= 0 || total > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<uint32_t>(total);
}

ce::Bitmap* loadBitmap(const char* path, LoaderSystem& system) {
  if (path == nullptr) return nullptr;
  LoaderFile* file = system.open(path);
  if (file == nullptr) return nullptr;
  uint8_t header[kFileHeaderLength];
  ce::Bitmap* bitmap = nullptr;
  // The signature and the other header fields are not examined: only the
  // pixel-data offset matters.
  if (system.read(file, header, sizeof header)) {
    bitmap = loadBody(system, file, readU32(header + kPixelOffsetField));
  }
  system.close(file);
  return bitmap;
}

}  // namespace sleepscreen
