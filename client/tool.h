// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl, the command-line face of the client library: a table of commands,
// each a name, a synopsis, a description and a routine over the arguments
// that follow the name. --help prints the table, so a row documents its
// command. Adding a command: its routine in its own file, declared below,
// and one row in the table of tool_commands.cpp.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "router/hex_text.h"

namespace shub::client {

// Exit statuses of crtctl.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // a named object is missing or unusable
inline constexpr int kExitUsage = 2;     // bad command or argument
inline constexpr int kExitTimedOut = 3;  // --timeout passed first
inline constexpr int kExitDataError = 65;  // EX_DATAERR: the route file has refused lines

// Puts `text` in `why` when one is given and answers false: the caller says it.
inline bool refuse(std::string* why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return false;
}

struct ToolContext {
  std::span<const std::string_view> args;  // after the command name
  FILE* out = stdout;
  FILE* err = stderr;
  // Set from a signal handler (SIGINT, SIGTERM): long waits end cleanly.
  const std::atomic<bool>* interrupted = nullptr;
};

struct ToolCommand {
  const char* name;
  const char* synopsis;     // arguments, e.g. "<channel> [--count N]"
  const char* description;  // one or more lines, shown by --help
  int (*run)(const ToolContext& context);
};

// Runs the command named by args[0]; --help, -h and help print the table.
int runTool(std::span<const std::string_view> args, FILE* out, FILE* err,
            const std::atomic<bool>* interrupted);

// What the commands share. The parsers say a usage error themselves and then
// give nullopt or false.
enum ToolOption : unsigned { kOptionCount = 1, kOptionTimeout = 2, kOptionPeek = 4, kOptionJson = 8 };
struct ToolArgs {
  std::vector<std::string_view> positional;
  std::optional<uint32_t> count;      // --count N
  std::optional<uint32_t> timeoutMs;  // --timeout MS
  bool json = false;                  // --json
};
// The time since a command began, and whether its --timeout has passed.
struct Deadline {
  std::optional<uint32_t> timeoutMs;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  std::chrono::milliseconds elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }
  bool passed() const { return timeoutMs && elapsed() >= std::chrono::milliseconds(*timeoutMs); }
  // One wait's share of the time left: at most `slice` ms, so interrupts are seen.
  int waitMs(int slice) const {
    if (!timeoutMs) return slice;
    const auto left = std::chrono::milliseconds(*timeoutMs) - elapsed();
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, slice));
  }
};

// A decimal number that fits 32 bits, nothing else.
std::optional<uint32_t> parseCount(std::string_view text);
// Splits context.args into positionals and the options in `accepted`.
std::optional<ToolArgs> parseArgs(const ToolContext& context, const char* command, unsigned accepted);
// The positionals as channel numbers: exactly one, or with `many` any number.
std::optional<std::vector<int32_t>> parseChannels(const ToolContext& context, const char* command,
                                                  const ToolArgs& args, bool many);
// Hex bytes: each argument is one or more pairs of hex digits ("aa", "0D0a");
// false for an odd digit count, a non-hex character, too many or no bytes.
bool parseHexBytes(std::span<const std::string_view> args, uint8_t* out, uint32_t capacity, uint32_t& count);
int usageError(const ToolContext& context, const char* command, const char* message);  // kExitUsage
int failure(const ToolContext& context, const char* command, const std::string& message);  // kExitFailed
bool interrupted(const ToolContext& context);
// Bytes as hexText() shows them.
void printHex(FILE* out, const uint8_t* bytes, uint32_t count);
// "nobody holds CRT:STATUS in <objects folder>": how the tools tell that no
// daemon runs.
std::string noDaemonHolds();
// What a failed call of libserialhub means (its errno `error`), naming the
// object (of `kind`: "block", "status object", ...).
std::string explain(int error, const char* kind, const std::string& object);

// Says once on stderr that the daemon is gone and once that it is back, for
// commands that outlive a daemon: they wait for the next one instead of
// ending or saying nothing.
class DaemonPresence {
 public:
  DaemonPresence(const ToolContext& context, const char* command) : context_(context), command_(command) {}
  void gone();
  void back();

 private:
  const ToolContext& context_;
  const char* command_;
  bool gone_ = false;
};

// daemon_program.cpp: serialhub beside crtctl, else installed, else on PATH.
std::optional<std::string> findDaemonProgram();

// channel_commands.cpp
int runList(const ToolContext& context);
int runShow(const ToolContext& context);
int runSet(const ToolContext& context);
int runWait(const ToolContext& context);
// monitor_watch.cpp
int runWatch(const ToolContext& context);
// library_commands.cpp, metrics_command.cpp
int runStats(const ToolContext& context);
int runWrite(const ToolContext& context);
int runMetrics(const ToolContext& context);
// window_post.cpp
int runPost(const ToolContext& context);
// routes_command.cpp, top_command.cpp, capture_commands.cpp, replay.cpp
int runRoutes(const ToolContext& context);
int runTop(const ToolContext& context);
int runRecord(const ToolContext& context);
int runReplay(const ToolContext& context);

}  // namespace shub::client
