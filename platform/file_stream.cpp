// Buffered binary reading of one regular host file (see file_stream.h).
// Opened non-blocking so that a FIFO left at the path cannot hang the caller
// before we have looked at what it is; regular files ignore the flag.
#include "platform/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <new>

namespace ce {

struct FileStream {
  std::FILE* file = nullptr;
  uint64_t size = 0;
};

FileStream* openFileStream(const char* path) {
  if (path == nullptr) return nullptr;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  auto* stream = new (std::nothrow) FileStream;
  std::FILE* file = stream != nullptr ? ::fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    delete stream;
    ::close(fd);
    return nullptr;
  }
  stream->file = file;
  stream->size = static_cast<uint64_t>(info.st_size);
  return stream;
}

bool readFileStream(FileStream* stream, void* buffer, size_t length) {
  if (stream == nullptr || buffer == nullptr || length == 0) return false;
  return std::fread(buffer, length, 1, stream->file) == 1;
}

uint64_t fileStreamSize(const FileStream* stream) { return stream != nullptr ? stream->size : 0; }

void closeFileStream(FileStream* stream) {
  if (stream == nullptr) return;
  std::fclose(stream->file);
  delete stream;
}

}  // namespace ce
