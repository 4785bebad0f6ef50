// The crtctl commands built on libserialhub: watch --peek (any number of
// channels, taking no signal from their consumers), stats, and write (which
// refuses when no daemon runs, instead of leaving bytes for a later one).
// Peeks run in slices so that SIGINT or SIGTERM ends them promptly.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <serialhub/channel.h>

#include "client/channel_client.h"
#include "client/tool.h"
#include "platform/clock.h"
#include "platform/paths.h"

namespace client {

namespace {

constexpr int kSliceMs = 100;

int fail(const ToolContext& context, const char* command, const std::string& message) {
  std::fprintf(context.err, "crtctl %s: %s\n", command, message.c_str());
  return kExitFailed;
}

// What a failed call of the library means, naming the object (of `kind`).
std::string explain(int error, const char* kind, const std::string& object) {
  if (error == ENOENT) return missingObject(kind, object);
  if (error == ENOTCONN) {
    if (!std::filesystem::exists(ce::ceObjects() + "/" + SHUB_STATUS_NAME)) {
      return missingObject("status object", SHUB_STATUS_NAME);
    }
    return std::string("serialhub is not running (nobody holds ") + SHUB_STATUS_NAME + " in " + ce::ceObjects() + ")";
  }
  return object + ": " + std::strerror(error);
}

const char* powerName(uint32_t power) {
  switch (power) {
    case SHUB_STATUS_POWER_BATTERY:
      return "on battery";
    case SHUB_STATUS_POWER_MAINS:
      return "on mains";
    default:
      return "not known yet";
  }
}

// The frames every peeking thread prints, one line at a time.
struct PeekShared {
  PeekShared(const ToolContext& c, const PeekRequest& r) : context(c), request(r) {}
  const ToolContext& context;
  const PeekRequest& request;
  uint32_t start = ce::tickCount();
  std::mutex lock;
  uint32_t printed = 0;
  bool failed = false;

  bool stop() {
    std::lock_guard<std::mutex> hold(lock);
    const bool interrupted = context.interrupted != nullptr && context.interrupted->load(std::memory_order_relaxed);
    const bool timedOut = request.timeoutMs && ce::tickCount() - start >= *request.timeoutMs;
    return failed || interrupted || timedOut || (request.count && printed >= *request.count);
  }
};

void peekChannel(PeekShared& shared, shub_channel* ch, int32_t number, uint64_t seq) {
  uint8_t frame[SHUB_BLOCK_DATA_SIZE];
  while (!shared.stop()) {
    const uint64_t before = seq;
    const int length = shub_channel_peek(ch, kSliceMs, frame, sizeof frame, &seq);
    if (length == 0) continue;
    std::lock_guard<std::mutex> hold(shared.lock);
    if (length < 0) {
      std::fprintf(shared.context.err, "crtctl watch: CRT%d: %s\n", number, std::strerror(errno));
      shared.failed = true;
      return;
    }
    if (shared.request.count && shared.printed >= *shared.request.count) return;
    FILE* out = shared.context.out;
    std::fprintf(out, "%10.3f  CRT%-3d seq %-8" PRIu64 " %3d  ", (ce::tickCount() - shared.start) / 1000.0, number,
                 seq, length);
    for (int i = 0; i < length; ++i) std::fprintf(out, i ? " %02x" : "%02x", frame[i]);
    if (before != 0 && seq > before + 1) std::fprintf(out, "  (%" PRIu64 " missed)", seq - before - 1);
    std::fputc('\n', out);
    std::fflush(out);
    ++shared.printed;
  }
}

}  // namespace

int runPeekWatch(const ToolContext& context, const PeekRequest& request) {
  std::vector<shub_channel*> channels;
  for (int32_t number : request.channels) {
    shub_channel* ch = shub_channel_open(number);
    if (ch == nullptr) {
      const int error = errno;
      for (shub_channel* open : channels) shub_channel_close(open);
      return fail(context, "watch", explain(error, "channel", "CRT" + std::to_string(number)));
    }
    channels.push_back(ch);
  }
  // Each channel takes its starting point before the first line is said, so
  // a frame that comes after that line is never missed.
  std::vector<uint64_t> seqs(channels.size(), 0);
  uint8_t scratch[1];
  for (size_t i = 0; i < channels.size(); ++i) {
    if (shub_channel_peek(channels[i], 0, scratch, 0, &seqs[i]) < 0) {
      const int error = errno;
      for (shub_channel* ch : channels) shub_channel_close(ch);
      return fail(context, "watch", explain(error, "status object", SHUB_STATUS_NAME));
    }
  }
  std::fprintf(context.err, "peeking at %zu channel(s) (interrupt to stop)\n", channels.size());
  std::fflush(context.err);
  PeekShared shared{context, request};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < channels.size(); ++i) {
    threads.emplace_back(peekChannel, std::ref(shared), channels[i], request.channels[i], seqs[i]);
  }
  for (std::thread& thread : threads) thread.join();
  for (shub_channel* ch : channels) shub_channel_close(ch);
  if (shared.failed) return kExitFailed;
  if (request.count && shared.printed < *request.count && request.timeoutMs &&
      !(context.interrupted && context.interrupted->load())) {
    std::fprintf(context.err, "crtctl watch: timed out after %u of %u frames\n", shared.printed, *request.count);
    return kExitTimedOut;
  }
  return kExitOk;
}

int runStats(const ToolContext& context) {
  if (!context.args.empty()) return usageError(context, "stats", "takes no arguments");
  shub_status status;
  if (shub_stats(&status) != 0) return fail(context, "stats", explain(errno, "status object", SHUB_STATUS_NAME));
  FILE* out = context.out;
  std::fprintf(out, "daemon           %s\n", status.daemon_alive ? "running" : "not running");
  std::fprintf(out, "power            %s\n", powerName(status.power));
  std::fprintf(out, "backlight        %s\n", status.backlight ? "on" : "off");
  std::fprintf(out, "watchers         %u\n", status.watchers);
  std::fprintf(out, "noise bytes      %" PRIu64 "\n", status.noise_bytes);
  std::fprintf(out, "dark frames      %" PRIu64 "\n", status.dark_frames);
  std::fprintf(out, "overlong frames  %" PRIu64 "\n", status.overlong_frames);
  std::fprintf(out, "port opens       %" PRIu64 "\n", status.port_opens);
  std::fprintf(out, "hang-ups         %" PRIu64 "\n", status.hangups);
  for (uint32_t i = 0; i < status.entry_count; ++i) {
    const shub_entry_status& entry = status.entries[i];
    std::fprintf(out, "CRT%-4d frames %-10" PRIu64 " bytes %-12" PRIu64 " seq %" PRIu64 "\n", entry.channel,
                 entry.frames, entry.bytes, entry.seq);
  }
  return kExitOk;
}

int runWrite(const ToolContext& context) {
  uint8_t bytes[SHUB_BLOCK_DATA_SIZE];
  uint32_t count = 0;
  if (!parseHexBytes(context.args, bytes, sizeof bytes, count)) {
    return usageError(context, "write", "expected 1 to 260 bytes as pairs of hex digits");
  }
  if (shub_write(bytes, count) != 0) return fail(context, "write", explain(errno, "block", SHUB_WRITE_BLOCK_NAME));
  return kExitOk;
}

}  // namespace client
