// The terminal crtctl top runs on: its width, and keys read one at a time
// without echo while Ctrl-C still works; the settings found are put back.
#pragma once

#include <cstdint>

namespace shub::os {

bool isTerminal(int fd);

// Columns of the terminal on `fd`; 0 when it is none or does not say.
uint32_t terminalColumns(int fd);

// Turns off echo and line editing on terminal `fd`, keeping signals; false when it
// is none. However the live view ends, leaveKeyMode() puts back what it found.
bool enterKeyMode(int fd);
void leaveKeyMode(int fd);

inline constexpr int kNoKey = -1;      // time ran out, or a signal came
inline constexpr int kInputGone = -2;  // the input ended or failed: waiting again would spin

// Waits up to `timeoutMs` for a key on `fd`: the key's byte, kNoKey or kInputGone.
int waitKey(int fd, int timeoutMs);

}  // namespace shub::os
