// Shared mappings of object files that any group member may shrink. A page
// past the new end of such a file raises SIGBUS on access; under the guard the
// whole mapping is replaced by zero pages instead, marked tripped, and the
// access runs again, so neither the daemon nor a program using the client
// library dies of another process's truncate. A SIGBUS that is not ours goes
// on to whatever handled it before the guard was installed.
#pragma once

#include <atomic>
#include <cstddef>
#include <string_view>

namespace shub::os {

// Maps `fd` shared read/write, `size` bytes, under the guard; nullptr with
// errno set on failure. `notice`, when not empty, is written to stderr at the
// first repair (a whole line, made in advance: the handler cannot format).
// `tripped`, when given, receives the mapping's flag: true once its file
// shrank, after which it reads as zeros and nothing written reaches the file.
// The flag is the mapping's until unmapGuarded().
void* mapGuarded(int fd, size_t size, std::string_view notice = {}, const std::atomic<bool>** tripped = nullptr);
void unmapGuarded(void* address, size_t size);

}  // namespace shub::os
