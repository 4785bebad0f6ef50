// A pseudo-terminal whose master plays a serial peer: crtctl replay writes a
// capture into it while a daemon reads the other end as its port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ce {

struct Pty {
  int master = -1;    // raw, close-on-exec; -1 when closed
  std::string slave;  // /dev/pts/N, for a link
};

// False with errno set when no pty could be had.
bool openPty(Pty& out);
// Closing the master hangs the line up for whoever holds the slave.
void closePty(Pty& pty);
// Writes all `count` bytes; false with errno set on failure.
bool writePty(const Pty& pty, const uint8_t* bytes, size_t count);

}  // namespace ce
