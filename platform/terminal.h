// The terminal a live view draws on: keys one at a time without echo, a wait
// for a key that a signal ends, and the width to draw in.
//
// The terminal must be left as it was found whatever ends the view (a key,
// Ctrl-C, SIGTERM): signals stay on, so Ctrl-C still reaches the program,
// and leaveKeyMode() puts back the settings keyMode() saved.
#pragma once

#include <cstdint>

namespace ce {

// True when `fd` is a terminal.
bool isTerminal(int fd);

// Columns of the terminal on `fd`; 0 when it is none or does not say.
uint32_t terminalColumns(int fd);

// Turns off echo and line editing on terminal `fd`, keeping signals; false
// (nothing changed) when it is not a terminal.
bool enterKeyMode(int fd);
// Puts back what enterKeyMode() found.
void leaveKeyMode(int fd);

inline constexpr int kNoKey = -1;      // time ran out, or a signal came
inline constexpr int kInputGone = -2;  // the input ended or failed: waiting again would spin

// Waits up to `timeoutMs` for a key on `fd`: the key's byte, kNoKey or kInputGone.
int waitKey(int fd, int timeoutMs);

}  // namespace ce
