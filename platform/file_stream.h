// Buffered binary reading of one host file, for loaders that must know how
// big a file is before they trust the lengths written inside it.
//
// Only regular files open: a FIFO or device at the path would block or never
// end, and its size says nothing. The size is taken from the open stream, so
// it describes the file actually read, not whatever the path names later.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ce {

struct FileStream;  // opaque

// fopen(path, "rb"), close-on-exec. nullptr when it cannot be opened or is not
// a regular file.
FileStream* openFileStream(const char* path);

// fread of one item of `length` bytes: true only when all of them arrived
// (a 0-byte item gives false, as fread's item count would).
bool readFileStream(FileStream* stream, void* buffer, size_t length);

// Size in bytes of the open file.
uint64_t fileStreamSize(const FileStream* stream);

void closeFileStream(FileStream* stream);

}  // namespace ce
