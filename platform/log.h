// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Operator diagnostics on stderr, one line each ("serialhub: COM7 (/dev/ttyS1):
// opened"), with a priority prefix ("<4>") when stderr is the journal's stream.
// Safe from any thread; errno is left as it was.
#pragma once

#include <atomic>
#include <string>

namespace shub::os {

enum class LogLevel { error = 3, warning = 4, info = 6, debug = 7 };

[[gnu::format(printf, 2, 3)]] void logAt(LogLevel level, const char* format, ...);
[[gnu::format(printf, 1, 2)]] void logError(const char* format, ...);
[[gnu::format(printf, 1, 2)]] void logWarning(const char* format, ...);
[[gnu::format(printf, 1, 2)]] void logInfo(const char* format, ...);
[[gnu::format(printf, 1, 2)]] void logDebug(const char* format, ...);  // only when verbose

// The start of such a line, for a message built in advance (a signal handler cannot format).
std::string logLinePrefix(LogLevel level);

void setVerboseLog(bool verbose);
bool verboseLog();

// A failure that repeats is said the first time, then not again until reset()
// when it clears: a burst of one without refill, the only rate the programs need.
class SayOnce {
 public:
  bool allow() { return !said_.exchange(true, std::memory_order_relaxed); }
  void reset() { said_.store(false, std::memory_order_relaxed); }

 private:
  std::atomic<bool> said_{false};
};

}  // namespace shub::os
