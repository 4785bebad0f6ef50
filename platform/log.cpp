// One write(2) per line, so the lines of several threads never interleave.
#include "platform/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace shub::os {
namespace {

std::atomic<bool> verbose{false};

}  // namespace

std::string logLinePrefix(LogLevel level) {
  // JOURNAL_STREAM holds "device:inode" of the journal's stream; stderr is
  // that stream when they match (systemd.exec(5)).
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat info {};
    unsigned long long device = 0, inode = 0;
    return stream != nullptr && fstat(STDERR_FILENO, &info) == 0 &&
           std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == info.st_dev && inode == info.st_ino;
  }();
  const std::string priority = journal ? "<" + std::to_string(static_cast<int>(level)) + ">" : "";
  return priority + program_invocation_short_name + ": ";
}

void logLine(LogLevel level, const std::string& text) {
  if (level == LogLevel::debug && !verboseLog()) return;
  const int savedErrno = errno;
  const std::string line = logLinePrefix(level) + text + "\n";
  (void)!write(STDERR_FILENO, line.data(), line.size());
  errno = savedErrno;
}

void setVerboseLog(bool on) { verbose.store(on, std::memory_order_relaxed); }
bool verboseLog() { return verbose.load(std::memory_order_relaxed); }

std::string withError(const std::string& text, int error) { return text + ": " + std::strerror(error); }

}  // namespace shub::os
