// BitmapLoader: a BMP file read into a device-independent bitmap in exactly
// three reads (file header, information block, pixel data), without seeking
// and without an intermediate copy of the pixels.
//
// The file may be truncated, lie about its offsets and sizes, or not be a BMP
// at all: every failure gives null and leaves no open file, heap block or
// bitmap behind, and nothing is ever allocated beyond the size of the file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ce {
struct Bitmap;
}

namespace sleepscreen {

struct LoaderFile;  // whatever the file system hands out

// Everything the loader asks of the system, so that tests can count opens
// against closes, allocations against frees and bitmaps against deletions.
class LoaderSystem {
 public:
  virtual ~LoaderSystem() = default;
  // The file at a host path, read-only and binary; nullptr when unavailable.
  virtual LoaderFile* open(const char* path) = 0;
  // Size in bytes of the open file.
  virtual uint64_t size(LoaderFile* file) = 0;
  // One item of `length` bytes: true only when all arrived.
  virtual bool read(LoaderFile* file, void* buffer, size_t length) = 0;
  virtual void close(LoaderFile* file) = 0;
  virtual void* allocate(size_t length) = 0;
  virtual void release(void* block) = 0;
  // CreateDIBSection over the information block; the pixel buffer and its
  // length come back through `bits` and `bitsLength`.
  virtual ce::Bitmap* createDib(const void* info, size_t length, uint8_t** bits,
                                size_t* bitsLength) = 0;
  virtual void deleteBitmap(ce::Bitmap* bitmap) = 0;
};

// The real file system, heap and DIB creation.
LoaderSystem& platformLoaderSystem();

// Loads the BMP file at host path `path` (device paths are resolved by the
// caller). nullptr for a null path or any failure; the caller owns the bitmap
// and deletes it with ce::deleteObject().
ce::Bitmap* loadBitmap(const char* path, LoaderSystem& system = platformLoaderSystem());

// Bytes of pixel data that an information block announces: ((bpp * width + 31)
// / 32) * 4 per row, times the rows. 0 when the block is shorter than the 16
// bytes those fields need, or the result is not a positive 32-bit length.
uint32_t pixelDataLength(const uint8_t* info, size_t length);

}  // namespace sleepscreen
