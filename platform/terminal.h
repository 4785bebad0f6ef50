// crtctl top's terminal: its width, and keys one at a time without echo, Ctrl-C kept.
#pragma once

#include <cstdint>
#include <memory>

struct termios;

namespace shub::os {

bool isTerminal(int fd);

// Columns of the terminal on `fd`; 0 when it is none or does not say.
uint32_t terminalColumns(int fd);

// Echo and line editing off on terminal `fd` (signals kept) while it lives, then
// what it found put back; inactive when `fd` is none.
class KeyMode {
 public:
  explicit KeyMode(int fd);
  ~KeyMode();
  bool active() const { return saved_ != nullptr; }

 private:
  int fd_;
  std::unique_ptr<termios> saved_;
};

inline constexpr int kNoKey = -1;      // time ran out, or a signal came
inline constexpr int kInputGone = -2;  // the input ended or failed: waiting again would spin

// Waits up to `timeoutMs` for a key on `fd`: the key's byte, kNoKey or kInputGone.
int waitKey(int fd, int timeoutMs);

}  // namespace shub::os
