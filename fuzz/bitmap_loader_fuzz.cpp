// Fuzzes the bitmap loader and the DIB it makes: the input is the whole BMP
// file, served from memory through the loader's system interface, with the
// real heap and DIB creation. A loaded bitmap is read back in full and beyond
// its edges, as a block copy would. Leaks of blocks or bitmaps show up under
// LeakSanitizer; the counts catch an unclosed file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/dib.h"
#include "platform/gdi.h"
#include "sleepscreen/bitmap_loader.h"

namespace {

struct MemoryFile {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t position = 0;
};

class MemorySystem final : public sleepscreen::LoaderSystem {
 public:
  MemorySystem(const uint8_t* data, size_t size) { file_ = {data, size, 0}; }
  sleepscreen::LoaderFile* open(const char*) override {
    ++opens;
    file_.position = 0;
    return reinterpret_cast<sleepscreen::LoaderFile*>(&file_);
  }
  uint64_t size(sleepscreen::LoaderFile*) override { return file_.size; }
  bool read(sleepscreen::LoaderFile*, void* buffer, size_t length) override {
    ++reads;
    if (length == 0 || file_.size - file_.position < length) {
      file_.position = file_.size;
      return false;
    }
    std::memcpy(buffer, file_.data + file_.position, length);
    file_.position += length;
    return true;
  }
  void close(sleepscreen::LoaderFile*) override { ++closes; }
  void* allocate(size_t length) override { return std::malloc(length); }
  void release(void* block) override { std::free(block); }
  ce::Bitmap* createDib(const void* info, size_t length, uint8_t** bits,
                        size_t* bitsLength) override {
    return ce::createDibSection(info, length, ce::DIB_RGB_COLORS, bits, bitsLength);
  }
  void deleteBitmap(ce::Bitmap* bitmap) override { ce::deleteObject(bitmap); }

  int opens = 0, closes = 0, reads = 0;

 private:
  MemoryFile file_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemorySystem system(data, size);
  ce::Bitmap* bitmap = sleepscreen::loadBitmap("fuzz.bmp", system);
  if (system.opens != system.closes || system.reads > 3) std::abort();
  if (bitmap == nullptr) return 0;
  // The whole image and a margin around it, in bands like a copy.
  const int width = 64, height = 16;
  std::vector<uint32_t> band(static_cast<size_t>(width) * height);
  for (int64_t y = -8; y < bitmap->layout.height + 8 && y < 4096; y += height) {
    for (int64_t x = -8; x < bitmap->layout.width + 8 && x < 4096; x += width) {
      ce::readDibRect(bitmap, x, y, width, height, band.data());
    }
  }
  if (!ce::deleteObject(bitmap)) std::abort();
  return 0;
}
