// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The crtctl commands over channels and named objects: list, show, set,
// wait. Waits run in short slices so that SIGINT or SIGTERM ends them
// promptly with the output flushed, instead of killing the process in the
// middle of a line; a slice that times out consumes no signal.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "client/channel_client.h"
#include "client/tool.h"

namespace shub::client {

namespace {

constexpr int kSliceMs = 100;

enum class Outcome { signalled, timedOut, interrupted, failed };

// Waits a slice at a time with `wait` (1 or more: taken, 0: nothing yet, -1:
// errno) until it takes a signal, the time-out passes or an interrupt comes.
template <typename Wait>
Outcome waitInterruptibly(const ToolContext& context, const Deadline& deadline, Wait wait) {
  while (!interrupted(context)) {
    const int result = wait(deadline.waitMs(kSliceMs));
    if (result > 0) return Outcome::signalled;
    if (result < 0 && errno != EINTR && errno != ENOTCONN) return Outcome::failed;
    if (deadline.passed()) return Outcome::timedOut;
  }
  return Outcome::interrupted;
}

std::string describeKind(const ObjectInfo& object) {
  if (object.kind == ObjectKind::block) return "block of " + std::to_string(object.size) + " bytes";
  if (object.kind == ObjectKind::event) return object.signalled ? "event (signalled)" : "event (not signalled)";
  return object.kind == ObjectKind::mutex ? "mutex" : "other";
}

}  // namespace

int runList(const ToolContext& context) {
  if (!context.args.empty()) return usageError(context, "list", "takes no arguments");
  std::vector<ObjectInfo> objects;
  std::string error;
  if (!listObjects(objects, error)) return failure(context, "list", error);
  for (const ObjectInfo& object : objects) {
    std::fprintf(context.out, "%-24s %s\n", object.name.c_str(), describeKind(object).c_str());
  }
  return kExitOk;
}

int runShow(const ToolContext& context) {
  const std::optional<ToolArgs> args = parseArgs(context, "show", 0);
  const auto number = args ? parseChannels(context, "show", *args, false) : std::nullopt;
  if (!number) return kExitUsage;
  Channel channel;
  std::string error;
  if (!openChannel(number->front(), channel, error)) return failure(context, "show", error);
  uint8_t bytes[SHUB_BLOCK_SIZE];
  if (shub_channel_read(channel.handle.get(), bytes, sizeof bytes) < 0) {
    return failure(context, "show", channel.blockName + ": " + std::strerror(errno));
  }
  Frame frame;
  readFrame(bytes, frame);
  uint32_t reserved = 0;
  std::memcpy(&reserved, bytes + SHUB_BLOCK_RESERVED_OFFSET, sizeof reserved);
  const auto lockWord = [&bytes](uint32_t offset) {
    uint32_t word = 0;
    std::memcpy(&word, bytes + SHUB_BLOCK_LOCK_OFFSET + offset, sizeof word);
    return word;
  };
  const uint32_t owner = lockWord(SHUB_LOCK_OWNER_OFFSET);

  FILE* out = context.out;
  std::fprintf(out, "block     %s, %u bytes\n", channel.blockName.c_str(), SHUB_BLOCK_SIZE);
  std::fprintf(out, "length    %u%s\n", frame.lengthWord,
               frame.lengthWord > SHUB_BLOCK_DATA_SIZE ? " (beyond the data area; 260 shown)" : "");
  std::fprintf(out, "reserved  0x%08x\n", reserved);
  std::fputs("data      ", out);
  printHex(out, frame.data, frame.length);
  std::fprintf(out, "\nlock      %s, word %u, recursion %u, waiters %u, %s\n", owner ? "owned" : "unowned", owner,
               lockWord(SHUB_LOCK_RECURSION_OFFSET), lockWord(SHUB_LOCK_WAITERS_OFFSET),
               lockWord(SHUB_LOCK_MAGIC_OFFSET) == SHUB_LOCK_MAGIC ? "initialised" : "no lock record");
  return kExitOk;
}

int runSet(const ToolContext& context) {
  if (context.args.size() != 1) return usageError(context, "set", "expected one event name");
  const std::string name(context.args[0]);
  return shub_event_set(name.c_str()) == 0 ? kExitOk : failure(context, "set", missingObject("event", name));
}

int runWait(const ToolContext& context) {
  const std::optional<ToolArgs> args = parseArgs(context, "wait", kOptionTimeout);
  if (!args) return kExitUsage;
  if (args->positional.size() != 1) return usageError(context, "wait", "expected one event name");
  const std::string name(args->positional[0]);
  bool opened = false;
  const auto take = [&name, &opened](int ms) {
    const int result = shub_event_wait(name.c_str(), ms);
    opened = opened || result >= 0 || errno == EINTR;
    return result;
  };
  switch (waitInterruptibly(context, Deadline{args->timeoutMs}, take)) {
    case Outcome::signalled:
      std::fprintf(context.out, "%s signalled\n", name.c_str());
      return kExitOk;
    case Outcome::timedOut:
      std::fprintf(context.err, "crtctl wait: %s not signalled within %u ms\n", name.c_str(), *args->timeoutMs);
      return kExitTimedOut;
    case Outcome::interrupted:
      return kExitOk;
    case Outcome::failed:
      break;
  }
  return failure(context, "wait", opened ? "waiting on " + name + " failed" : missingObject("event", name));
}

}  // namespace shub::client
