// Operator diagnostics on stderr, one line each ("serialhub: COM7 (/dev/ttyS1):
// opened"), with a priority prefix ("<4>") when stderr is the journal's stream.
// Safe from any thread; errno is left as it was.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace shub::os {

enum class LogLevel { error = 3, warning = 4, info = 6, debug = 7 };

[[gnu::format(printf, 2, 3)]] void logAt(LogLevel level, const char* format, ...);
[[gnu::format(printf, 1, 2)]] void logError(const char* format, ...);
[[gnu::format(printf, 1, 2)]] void logWarning(const char* format, ...);
[[gnu::format(printf, 1, 2)]] void logInfo(const char* format, ...);
// Only when verbose.
[[gnu::format(printf, 1, 2)]] void logDebug(const char* format, ...);

// The start of such a line, for a message built in advance (a signal handler cannot format).
std::string logLinePrefix(LogLevel level);

void setVerboseLog(bool verbose);
bool verboseLog();

// Lets a message through `burst` times per `interval`; an interval of zero
// never refills, which is "say it once" until reset() when the fault clears.
class Ratelimit {
 public:
  explicit Ratelimit(unsigned burst = 1, std::chrono::milliseconds interval = {}) : burst_(burst), interval_(interval) {}
  bool allow();
  void reset();

 private:
  std::mutex mutex_;
  const unsigned burst_;
  const std::chrono::milliseconds interval_;
  unsigned used_ = 0;
  std::chrono::steady_clock::time_point windowStart_{};
};

}  // namespace shub::os
