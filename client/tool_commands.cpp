// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The command table of crtctl, its help text, and the argument parsing and
// output the commands share. Arguments come from users typing at a shell:
// every number is checked for range and every hex byte for form before
// anything is opened.
#include "client/tool.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include <serialhub/channel.h>

#include "platform/paths.h"

namespace shub::client {

namespace {

const ToolCommand kCommands[] = {
  {"list", "",
   "List the named objects in $CE_OBJECTS: blocks with their size, events\n"
   "(signalled or not), mutexes. Dot files are skipped.",
   runList},
  {"show", "<channel>",
   "Print the 288-byte block CRT<channel>: length word, reserved word, the\n"
   "frame bytes and the lock record.",
   runShow},
  {"watch", "[channel...] [--json] [--count N] [--timeout MS]",
   "Print every frame of the channels (of every channel the daemon routes\n"
   "when none is named) as it comes, taking no signal from any consumer:\n"
   "the time its last byte was read (local, to the millisecond), the\n"
   "channel, its sequence number, length and hex bytes, and how many frames\n"
   "of the channel went by unseen. --json prints one object a line:\n"
   "{\"time\":1765284000.123456,\"channel\":2,\"seq\":41,\"missed\":0,\n"
   "\"length\":3,\"data\":\"aa4403\"}. Ends after N frames, after MS ms, or on\n"
   "SIGINT/SIGTERM; exits 3 when the time-out passed before N frames came.\n"
   "A daemon that stops is said once; the watch waits for the next one.",
   runWatch},
  {"write", "<hex bytes...>",
   "Hand bytes to the serial port: puts them in CRT:WRITE (data, then the\n"
   "length word) and sets CRT:WRITE:EVENT. Bytes are hex digit pairs, e.g.\n"
   "'crtctl write aa 44 03 00' or 'crtctl write aa440300'; at most 260.\n"
   "Fails, writing nothing, when no serialhub is running.",
   runWrite},
  {"stats", "[--json]",
   "Print the daemon's status object CRT:STATUS: whether it runs, power and\n"
   "backlight, watchers, skipped noise, lost frames, port opens and\n"
   "hang-ups, and frames, bytes and sequence number per route entry.\n"
   "--json prints them as one JSON object.",
   runStats},
  {"metrics", "",
   "Print the status object in Prometheus' text format, for node_exporter's\n"
   "textfile collector: serialhub_up, port, power and backlight gauges, and\n"
   "frames and bytes per channel and the daemon's counters. Without a\n"
   "running daemon only serialhub_up 0. Exits 0 unless output failed.",
   runMetrics},
  {"set", "<event name>",
   "Set the existing named event, e.g. 'crtctl set CRT4:EVENT'.",
   runSet},
  {"wait", "<event name> [--timeout MS]",
   "Wait until the named event is signalled (consuming the signal). Exits 3\n"
   "when MS ms passed first.",
   runWait},
  {"post", "<class> <title> <message> [arg1] [arg2]",
   "Post a window message to the window of that class and title, e.g.\n"
   "'crtctl post SLEEP SLEEP 1330' re-arms duskcard to end 2 s later.\n"
   "Numbers are decimal or 0x hex, 32-bit. Exits 1 when no such window is\n"
   "found (needs $DISPLAY for windows of other processes).",
   runPost},
  {"routes", "[FILE]",
   "Read a route file with the daemon's own parser (by default the\n"
   "ctl_rt.st the daemon would read: beside the serialhub next to crtctl,\n"
   "in the install's folder, or on PATH) and print each entry as the daemon\n"
   "uses it, each refused line with its reason, and warnings for readings\n"
   "that are legal but surely unintended. Exits 65 when lines are refused.",
   runRoutes},
  {"top", "[--once]",
   "A live view of the daemon, refreshed once a second: COM7, power,\n"
   "backlight, counters, and per route entry its frames, frames per second\n"
   "and last frame (peeked: no consumer loses a frame). q or Ctrl-C quits.\n"
   "--once prints one screen as plain text, rates as '-'.",
   runTop},
  {"record", "<file> [--seconds N]",
   "Capture what serialhub reads from its line, through its tap CRT:TAP,\n"
   "into <file> (serialhub-capture(5)): one line per read, with its time,\n"
   "and lines for hang-ups and power and backlight changes. Runs until\n"
   "SIGINT/SIGTERM or for N seconds; disturbs nothing. A stretch the tap\n"
   "lost is noted where it happened.",
   runRecord},
  {"replay", "<file> [--link PATH] [--speed N | --baud B]",
   "Play a capture, or a plain hex dump, as the serial peer: into a pty\n"
   "linked as $CE_ROOT/dev/COM7 (or PATH), with the capture's timing sped\n"
   "up N times, or paced at B baud (a dump: 19200). Restores the old link.",
   runReplay},
  {"replay --run", "<file> --routes ROUTE_FILE [--daemon PATH] [--speed N | --baud B]",
   "Play it through a throw-away device with a serialhub of its own (beside\n"
   "crtctl, installed, or on PATH) and that route file, and print each\n"
   "frame delivered: 'CRT<N>: <hex bytes>'. The same capture gives the same\n"
   "lines on any machine, busy or not.",
   runReplay},
};

template <typename T>
std::optional<T> parseNumber(std::string_view text, int base = 10) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

const ToolCommand* findCommand(std::string_view name) {
  for (const ToolCommand& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

void printHelp(FILE* out) {
  std::fputs(
      "usage: crtctl <command> [arguments]\n"
      "\n"
      "Uses serialhub's channels like any other process: blocks CRT<N> and\n"
      "events CRT<N>:EVENT, the write block CRT:WRITE. Objects are files in\n"
      "$CE_OBJECTS (default /dev/shm/ce).\n"
      "\n"
      "commands:\n",
      out);
  for (const ToolCommand& command : kCommands) {
    std::fprintf(out, "  %s%s%s\n", command.name, *command.synopsis ? " " : "", command.synopsis);
    for (std::string_view rest = command.description; !rest.empty();) {
      const size_t end = std::min(rest.find('\n'), rest.size());
      std::fprintf(out, "      %.*s\n", static_cast<int>(end), rest.data());
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
  }
  std::fputs(
      "  help, --help, -h\n"
      "      Print this text.\n"
      "  --version, -V\n"
      "      Print the version.\n"
      "\n"
      "exit status: 0 done, 1 a named object is missing or unusable or the\n"
      "output could not be written, 2 bad command or argument, 3 timed out,\n"
      "65 a route file has refused lines.\n",
      out);
}

}  // namespace

int runTool(std::span<const std::string_view> args, FILE* out, FILE* err, const std::atomic<bool>* interrupted) {
  if (args.empty()) {
    printHelp(err);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    printHelp(out);
    return kExitOk;
  }
  if (args[0] == "--version" || args[0] == "-V") {
    std::fputs("crtctl " SERIALHUB_VERSION "\n", out);
    return kExitOk;
  }
  const ToolCommand* command = findCommand(args[0]);
  if (command == nullptr) {
    std::fprintf(err, "crtctl: unknown command '%.*s' (try crtctl --help)\n", static_cast<int>(args[0].size()),
                 args[0].data());
    return kExitUsage;
  }
  return command->run(ToolContext{args.subspan(1), out, err, interrupted});
}

std::optional<uint32_t> parseCount(std::string_view text) { return parseNumber<uint32_t>(text); }

std::optional<ToolArgs> parseArgs(const ToolContext& context, const char* command, unsigned accepted) {
  ToolArgs parsed;
  for (size_t i = 0; i < context.args.size(); ++i) {
    const std::string_view arg = context.args[i];
    const bool isCount = (accepted & kOptionCount) != 0 && arg == "--count";
    const bool isTimeout = (accepted & kOptionTimeout) != 0 && arg == "--timeout";
    if ((accepted & kOptionPeek) != 0 && arg == "--peek") {
      // Accepted for the scripts of old: every watch peeks now.
    } else if ((accepted & kOptionJson) != 0 && arg == "--json") {
      parsed.json = true;
    } else if (isCount || isTimeout) {
      const auto value = i + 1 < context.args.size() ? parseNumber<uint32_t>(context.args[++i]) : std::nullopt;
      if (!value) {
        usageError(context, command, isCount ? "--count needs a number" : "--timeout needs milliseconds");
        return std::nullopt;
      }
      (isCount ? parsed.count : parsed.timeoutMs) = value;
    } else if (arg.starts_with("--")) {
      usageError(context, command, ("unknown option " + std::string(arg)).c_str());
      return std::nullopt;
    } else {
      parsed.positional.push_back(arg);
    }
  }
  return parsed;
}

std::optional<std::vector<int32_t>> parseChannels(const ToolContext& context, const char* command,
                                                  const ToolArgs& args, bool many) {
  if (!many && args.positional.size() != 1) {
    usageError(context, command, "expected one channel number");
    return std::nullopt;
  }
  std::vector<int32_t> channels;
  for (const std::string_view text : args.positional) {
    const std::optional<int32_t> channel = parseNumber<int32_t>(text);
    if (!channel) {
      usageError(context, command, "the channel is a decimal number, e.g. 1 or -1");
      return std::nullopt;
    }
    channels.push_back(*channel);
  }
  return channels;
}

bool parseHexBytes(std::span<const std::string_view> args, uint8_t* out, uint32_t capacity, uint32_t& count) {
  count = 0;
  for (std::string_view arg : args) {
    if (arg.empty() || arg.size() % 2 != 0) return false;
    for (size_t i = 0; i < arg.size(); i += 2) {
      const std::optional<uint8_t> byte = parseNumber<uint8_t>(arg.substr(i, 2), 16);
      if (!byte || count == capacity) return false;
      out[count++] = *byte;
    }
  }
  return count > 0;
}

int usageError(const ToolContext& context, const char* command, const char* message) {
  const ToolCommand* entry = findCommand(command);
  std::fprintf(context.err, "crtctl %s: %s\nusage: crtctl %s %s\n", command, message, command,
               entry ? entry->synopsis : "");
  return kExitUsage;
}

int failure(const ToolContext& context, const char* command, const std::string& message) {
  std::fprintf(context.err, "crtctl %s: %s\n", command, message.c_str());
  return kExitFailed;
}

bool interrupted(const ToolContext& context) {
  return context.interrupted != nullptr && context.interrupted->load(std::memory_order_relaxed);
}

std::string noDaemonHolds() { return std::string("nobody holds ") + SHUB_STATUS_NAME + " in " + os::ceObjects(); }

void DaemonPresence::gone() {
  if (std::exchange(gone_, true)) return;
  std::fprintf(context_.err, "crtctl %s: serialhub is gone (%s); waiting for it to come back\n", command_,
               noDaemonHolds().c_str());
  std::fflush(context_.err);
}

void DaemonPresence::back() {
  if (!std::exchange(gone_, false)) return;
  std::fprintf(context_.err, "crtctl %s: serialhub is back\n", command_);
  std::fflush(context_.err);
}

void printHex(FILE* out, const uint8_t* bytes, uint32_t count) { std::fputs(router::hexText(bytes, count).c_str(), out); }

}  // namespace shub::client
