// The crtctl commands over channels and named objects: list, show, watch,
// write, set, wait. Waits run in short slices so that SIGINT or SIGTERM ends
// them promptly with the output flushed, instead of killing the process in
// the middle of a line; a slice that times out consumes no signal.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "client/channel_client.h"
#include "client/tool.h"
#include "router/channel_blocks.h"
#include "platform/clock.h"

namespace client {

namespace {

constexpr uint32_t kSliceMs = 100;

struct Options {
  std::vector<std::string_view> positional;
  std::optional<uint32_t> count;
  std::optional<uint32_t> timeoutMs;
  bool peek = false;
};

// Splits arguments into positionals and the options the command accepts.
// Prints the usage error itself; nullopt then.
std::optional<Options> parseOptions(const ToolContext& context, const char* command, bool acceptsCount,
                                    bool acceptsTimeout, bool acceptsPeek = false) {
  Options options;
  for (size_t i = 0; i < context.args.size(); ++i) {
    const std::string_view arg = context.args[i];
    if (acceptsPeek && arg == "--peek") {
      options.peek = true;
      continue;
    }
    const bool isCount = acceptsCount && arg == "--count";
    const bool isTimeout = acceptsTimeout && arg == "--timeout";
    if (!isCount && !isTimeout) {
      if (arg.starts_with("--")) {
        usageError(context, command, ("unknown option " + std::string(arg)).c_str());
        return std::nullopt;
      }
      options.positional.push_back(arg);
      continue;
    }
    const std::optional<uint32_t> value = i + 1 < context.args.size() ? parseCount(context.args[i + 1]) : std::nullopt;
    // kInfinite is the platform's "no time-out"; a user's MS stays below it.
    if (!value || (isTimeout && *value == ce::kInfinite)) {
      usageError(context, command, isCount ? "--count needs a number" : "--timeout needs milliseconds");
      return std::nullopt;
    }
    (isCount ? options.count : options.timeoutMs) = value;
    ++i;
  }
  return options;
}

bool interrupted(const ToolContext& context) {
  return context.interrupted != nullptr && context.interrupted->load(std::memory_order_relaxed);
}

enum class Outcome { signalled, timedOut, interrupted, failed };

// Time left of an optional time-out that started at `start` (tick count).
struct Deadline {
  std::optional<uint32_t> timeoutMs;
  uint32_t start = ce::tickCount();

  uint32_t sliceLeft() const {
    if (!timeoutMs) return kSliceMs;
    const uint32_t elapsed = ce::tickCount() - start;
    const uint32_t left = elapsed >= *timeoutMs ? 0 : *timeoutMs - elapsed;
    return left < kSliceMs ? left : kSliceMs;
  }
  bool passed() const { return timeoutMs && ce::tickCount() - start >= *timeoutMs; }
};

Outcome waitInterruptibly(const ToolContext& context, ce::NamedEvent* event, const Deadline& deadline) {
  for (;;) {
    if (interrupted(context)) return Outcome::interrupted;
    switch (ce::waitEvent(event, deadline.sliceLeft())) {
      case ce::WaitResult::signalled:
        return Outcome::signalled;
      case ce::WaitResult::failed:
        return Outcome::failed;
      case ce::WaitResult::timeout:
      case ce::WaitResult::stopped:
        if (deadline.passed()) return Outcome::timedOut;
        break;
    }
  }
}

void printHex(FILE* out, const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) std::fprintf(out, i ? " %02x" : "%02x", bytes[i]);
}

int fail(const ToolContext& context, const char* command, const std::string& message) {
  std::fprintf(context.err, "crtctl %s: %s\n", command, message.c_str());
  return kExitFailed;
}

// The one positional argument a command takes, as a channel number.
std::optional<int32_t> channelArgument(const ToolContext& context, const char* command, const Options& options) {
  if (options.positional.size() != 1) {
    usageError(context, command, "expected one channel number");
    return std::nullopt;
  }
  const std::optional<int32_t> channel = parseChannel(options.positional[0]);
  if (!channel) usageError(context, command, "the channel is a decimal number, e.g. 1 or -1");
  return channel;
}

const char* describeKind(const ObjectInfo& object, std::string& scratch) {
  switch (object.kind) {
    case ObjectKind::block:
      scratch = "block of " + std::to_string(object.size) + " bytes";
      return scratch.c_str();
    case ObjectKind::event:
      return object.signalled ? "event (signalled)" : "event (not signalled)";
    case ObjectKind::mutex:
      return "mutex";
    case ObjectKind::other:
      break;
  }
  return "other";
}

}  // namespace

int runList(const ToolContext& context) {
  if (!context.args.empty()) return usageError(context, "list", "takes no arguments");
  std::vector<ObjectInfo> objects;
  std::string error;
  if (!listObjects(objects, error)) return fail(context, "list", error);
  std::string scratch;
  for (const ObjectInfo& object : objects) {
    std::fprintf(context.out, "%-24s %s\n", object.name.c_str(), describeKind(object, scratch));
  }
  return kExitOk;
}

int runShow(const ToolContext& context) {
  const std::optional<Options> options = parseOptions(context, "show", false, false);
  if (!options) return kExitUsage;
  const std::optional<int32_t> number = channelArgument(context, "show", *options);
  if (!number) return kExitUsage;
  Channel channel;
  std::string error;
  char name[32];
  channelBlockName(*number, name, sizeof name);
  if (!openBlockAndEvent(name, nullptr, channel, error)) {
    return fail(context, "show", error);
  }
  BlockContents contents;
  readBlock(channel.address, contents);
  closeChannel(channel);

  FILE* out = context.out;
  std::fprintf(out, "block     %s, %u bytes\n", name, kChannelBlockSize);
  std::fprintf(out, "length    %u%s\n", contents.frame.lengthWord,
               contents.frame.lengthWord > kBlockDataSize ? " (beyond the data area; 260 shown)" : "");
  std::fprintf(out, "reserved  0x%08x\n", contents.reserved);
  std::fputs("data      ", out);
  printHex(out, contents.frame.data, contents.frame.length);
  const ce::LockRecord& lock = contents.lock;
  std::fprintf(out, "\nlock      %s, word %u, recursion %u, waiters %u, %s\n", lock.lockWord ? "owned" : "unowned",
               lock.lockWord, lock.recursion, lock.waiters,
               lock.magic == ce::kLockRecordMagic ? "initialised" : "no lock record");
  return kExitOk;
}

// watch --peek <channel>...: peeks through the library.
int peekWatch(const ToolContext& context, const Options& options) {
  PeekRequest request{{}, options.count, options.timeoutMs};
  if (options.positional.empty()) return usageError(context, "watch", "expected one or more channel numbers");
  for (const std::string_view text : options.positional) {
    const std::optional<int32_t> channel = parseChannel(text);
    if (!channel) return usageError(context, "watch", "the channel is a decimal number, e.g. 1 or -1");
    request.channels.push_back(*channel);
  }
  return runPeekWatch(context, request);
}

int runWatch(const ToolContext& context) {
  const std::optional<Options> options = parseOptions(context, "watch", true, true, true);
  if (!options) return kExitUsage;
  if (options->peek) return peekWatch(context, *options);
  const std::optional<int32_t> number = channelArgument(context, "watch", *options);
  if (!number) return kExitUsage;
  Channel channel;
  std::string error;
  if (!openChannel(*number, channel, error)) return fail(context, "watch", error);

  std::fprintf(context.err, "watching %s (interrupt to stop)\n", channel.blockName.c_str());
  std::fflush(context.err);
  const Deadline deadline{options->timeoutMs};
  uint32_t frames = 0;
  Outcome outcome = Outcome::signalled;
  while (!options->count || frames < *options->count) {
    outcome = waitInterruptibly(context, channel.event, deadline);
    if (outcome != Outcome::signalled) break;
    Frame frame;
    readFrame(channel.address, frame);
    ++frames;
    std::fprintf(context.out, "%10.3f  %3u  ", (ce::tickCount() - deadline.start) / 1000.0, frame.length);
    printHex(context.out, frame.data, frame.length);
    if (frame.lengthWord != frame.length) std::fprintf(context.out, "  (length word %u)", frame.lengthWord);
    std::fputc('\n', context.out);
    std::fflush(context.out);
  }
  closeChannel(channel);
  if (outcome == Outcome::failed) return fail(context, "watch", "waiting on the event failed");
  if (outcome == Outcome::timedOut && options->count) {
    std::fprintf(context.err, "crtctl watch: timed out after %u of %u frames\n", frames, *options->count);
    return kExitTimedOut;
  }
  return kExitOk;
}

int runSet(const ToolContext& context) {
  if (context.args.size() != 1) return usageError(context, "set", "expected one event name");
  std::string error;
  if (!setNamedEvent(std::string(context.args[0]), error)) return fail(context, "set", error);
  return kExitOk;
}

int runWait(const ToolContext& context) {
  const std::optional<Options> options = parseOptions(context, "wait", false, true);
  if (!options) return kExitUsage;
  if (options->positional.size() != 1) return usageError(context, "wait", "expected one event name");
  const std::string name(options->positional[0]);
  ce::NamedEvent* event = ce::openEvent(name.c_str());
  if (event == nullptr) return fail(context, "wait", missingObject("event", name));
  const Outcome outcome = waitInterruptibly(context, event, Deadline{options->timeoutMs});
  ce::closeEvent(event);
  switch (outcome) {
    case Outcome::signalled:
      std::fprintf(context.out, "%s signalled\n", name.c_str());
      return kExitOk;
    case Outcome::timedOut:
      std::fprintf(context.err, "crtctl wait: %s not signalled within %u ms\n", name.c_str(), *options->timeoutMs);
      return kExitTimedOut;
    case Outcome::interrupted:
      return kExitOk;
    case Outcome::failed:
      break;
  }
  return fail(context, "wait", "waiting on " + name + " failed");
}

}  // namespace client
