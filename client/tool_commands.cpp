// The command table of crtctl, its help text and the argument parsing the
// commands share. Arguments come from users typing at a shell: every number
// is checked for range and every hex byte for form before anything is opened.
#include "client/tool.h"

#include <charconv>
#include <string>

#include "router/channel_block.h"

namespace client {

namespace {

// clang-format off
const ToolCommand kCommands[] = {
  {"list", "",
   "List the named objects in $CE_OBJECTS: blocks with their size, events\n"
   "(signalled or not), mutexes. Dot files are skipped.",
   runList},
  {"show", "<channel>",
   "Print the 288-byte block CRT<channel>: length word, reserved word, the\n"
   "frame bytes and the lock record.",
   runShow},
  {"watch", "<channel> [--count N] [--timeout MS]",
   "Wait for frames on CRT<channel>:EVENT and print each one: seconds since\n"
   "the start, length and hex bytes. Ends after N frames, after MS ms, or on\n"
   "SIGINT/SIGTERM. Exits 3 when the time-out passed before N frames came.\n"
   "Each frame printed was consumed from the event, like any consumer's.\n"
   "With --peek, any number of channels are watched and no signal is taken\n"
   "from their consumers: each line also names the channel, the frame's\n"
   "sequence number and how many frames went by unseen.",
   runWatch},
  {"write", "<hex bytes...>",
   "Hand bytes to the serial port: puts them in CRT:WRITE (data, then the\n"
   "length word) and sets CRT:WRITE:EVENT. Bytes are hex digit pairs, e.g.\n"
   "'crtctl write aa 44 03 00' or 'crtctl write aa440300'; at most 260.\n"
   "Fails, writing nothing, when no serialhub is running.",
   runWrite},
  {"stats", "",
   "Print the daemon's status object CRT:STATUS: whether it runs, power and\n"
   "backlight, watchers, skipped noise, lost frames, port opens and\n"
   "hang-ups, and frames, bytes and sequence number per route entry.",
   runStats},
  {"set", "<event name>",
   "Set the existing named event, e.g. 'crtctl set CRT4:EVENT'.",
   runSet},
  {"wait", "<event name> [--timeout MS]",
   "Wait until the named event is signalled (consuming the signal). Exits 3\n"
   "when MS ms passed first.",
   runWait},
  {"post", "<class> <title> <message> [wParam] [lParam]",
   "Post a window message to the window of that class and title, e.g.\n"
   "'crtctl post SLEEP SLEEP 1330' re-arms duskcard to end 2 s later.\n"
   "Numbers are decimal or 0x hex, 32-bit. Exits 1 when no such window is\n"
   "found (needs $DISPLAY for windows of other processes).",
   runPost},
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
// clang-format on

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

uint8_t hexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return static_cast<uint8_t>(c - 'A' + 10);
}

template <typename T>
std::optional<T> parseNumber(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [stop, failure] = std::from_chars(text.data(), end, value);
  if (text.empty() || failure != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

std::span<const ToolCommand> toolCommands() { return kCommands; }

const ToolCommand* findToolCommand(std::string_view name) {
  for (const ToolCommand& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

void printToolHelp(FILE* out) {
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
    std::string description = command.description;
    for (size_t start = 0; start < description.size();) {
      size_t end = description.find('\n', start);
      if (end == std::string::npos) end = description.size();
      std::fprintf(out, "      %.*s\n", static_cast<int>(end - start), description.c_str() + start);
      start = end + 1;
    }
  }
  std::fputs(
      "  help, --help, -h\n"
      "      Print this text.\n"
      "  --version, -V\n"
      "      Print the version.\n"
      "\n"
      "exit status: 0 done, 1 a named object is missing or unusable, 2 bad\n"
      "command or argument, 3 timed out.\n",
      out);
}

int runTool(std::span<const std::string_view> args, FILE* out, FILE* err, const std::atomic<bool>* interrupted) {
  if (args.empty()) {
    printToolHelp(err);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    printToolHelp(out);
    return kExitOk;
  }
  if (args[0] == "--version" || args[0] == "-V") {
    std::fputs("crtctl " SERIALHUB_VERSION "\n", out);
    return kExitOk;
  }
  const ToolCommand* command = findToolCommand(args[0]);
  if (command == nullptr) {
    std::fprintf(err, "crtctl: unknown command '%.*s' (try crtctl --help)\n", static_cast<int>(args[0].size()),
                 args[0].data());
    return kExitUsage;
  }
  ToolContext context{args.subspan(1), out, err, interrupted};
  return command->run(context);
}

std::optional<int32_t> parseChannel(std::string_view text) { return parseNumber<int32_t>(text); }

std::optional<uint32_t> parseCount(std::string_view text) { return parseNumber<uint32_t>(text); }

bool parseHexBytes(std::span<const std::string_view> args, uint8_t* out, uint32_t capacity, uint32_t& count) {
  count = 0;
  for (std::string_view arg : args) {
    if (arg.empty() || arg.size() % 2 != 0) return false;
    for (size_t i = 0; i < arg.size(); i += 2) {
      if (!isHexDigit(arg[i]) || !isHexDigit(arg[i + 1]) || count == capacity) return false;
      out[count++] = static_cast<uint8_t>(hexValue(arg[i]) << 4 | hexValue(arg[i + 1]));
    }
  }
  return count > 0;
}

int usageError(const ToolContext& context, const char* command, const char* message) {
  const ToolCommand* entry = findToolCommand(command);
  std::fprintf(context.err, "crtctl %s: %s\nusage: crtctl %s %s\n", command, message, command,
               entry ? entry->synopsis : "");
  return kExitUsage;
}

}  // namespace client
