// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// One write(2) per line, so the lines of several threads never interleave.
#include "platform/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

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

namespace {

void vlog(LogLevel level, const char* format, va_list args) {
  if (level == LogLevel::debug && !verboseLog()) return;
  const int savedErrno = errno;
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length >= 0) {
    std::string line = logLinePrefix(level);
    const size_t start = line.size();
    line.resize(start + length + 1);
    std::vsnprintf(line.data() + start, length + 1, format, args);
    line.back() = '\n';
    (void)!write(STDERR_FILENO, line.data(), line.size());
  }
  errno = savedErrno;
}

}  // namespace

// Each level's function is the same three lines around vlog().
#define SHUB_LOG_FUNCTION(name, level)       \
  void name(const char* format, ...) {      \
    va_list args;                           \
    va_start(args, format);                 \
    vlog(level, format, args);              \
    va_end(args);                           \
  }
SHUB_LOG_FUNCTION(logError, LogLevel::error)
SHUB_LOG_FUNCTION(logWarning, LogLevel::warning)
SHUB_LOG_FUNCTION(logInfo, LogLevel::info)
SHUB_LOG_FUNCTION(logDebug, LogLevel::debug)
#undef SHUB_LOG_FUNCTION

void logAt(LogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlog(level, format, args);
  va_end(args);
}

void setVerboseLog(bool on) { verbose.store(on, std::memory_order_relaxed); }
bool verboseLog() { return verbose.load(std::memory_order_relaxed); }

}  // namespace shub::os
