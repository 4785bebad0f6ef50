// crtctl, the command-line face of the client library: a table of commands,
// each a name, a synopsis, a description and a routine over the arguments
// that follow the name. main.cpp only picks the entry; --help prints the
// table, so a command added to it is documented by that alone.
//
// Adding a command: write its routine in its own file (window_post.cpp will
// hold `post`), declare the routine below, and add one row to the table in
// tool_commands.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace client {

// Exit statuses of crtctl.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // a named object is missing or unusable
inline constexpr int kExitUsage = 2;     // bad command or argument
inline constexpr int kExitTimedOut = 3;  // --timeout passed first

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

std::span<const ToolCommand> toolCommands();
const ToolCommand* findToolCommand(std::string_view name);
void printToolHelp(FILE* out);

// Runs the command named by args[0]; --help, -h and help print the table.
int runTool(std::span<const std::string_view> args, FILE* out, FILE* err,
            const std::atomic<bool>* interrupted);

// Argument helpers shared by the commands.
std::optional<int32_t> parseChannel(std::string_view text);
std::optional<uint32_t> parseCount(std::string_view text);
// Hex bytes: each argument is one or more pairs of hex digits ("aa", "0D0a",
// "aa55"); false for an odd digit count, a non-hex character or no bytes.
bool parseHexBytes(std::span<const std::string_view> args, uint8_t* out, uint32_t capacity, uint32_t& count);
int usageError(const ToolContext& context, const char* command, const char* message);

// watch --peek: the channels to peek at, and when to stop.
struct PeekRequest {
  std::vector<int32_t> channels;
  std::optional<uint32_t> count;      // frames in all
  std::optional<uint32_t> timeoutMs;
};

// The commands of channel_commands.cpp.
int runList(const ToolContext& context);
int runShow(const ToolContext& context);
int runWatch(const ToolContext& context);
int runWrite(const ToolContext& context);
int runSet(const ToolContext& context);
int runWait(const ToolContext& context);
// library_commands.cpp
int runPeekWatch(const ToolContext& context, const PeekRequest& request);
int runStats(const ToolContext& context);
// window_post.cpp
int runPost(const ToolContext& context);
// capture_commands.cpp, replay.cpp
int runRecord(const ToolContext& context);
int runReplay(const ToolContext& context);

}  // namespace client
