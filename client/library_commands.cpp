// The crtctl commands built on libserialhub: watch --peek (any number of
// channels, taking no signal from their consumers, outliving a daemon that
// dies), stats, and write (which refuses when no daemon runs, instead of
// leaving bytes for a later one). Peeks run in slices so that SIGINT or
// SIGTERM ends them promptly.
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <serialhub/channel.h>

#include "client/channel_client.h"
#include "client/tool.h"
#include "platform/paths.h"
#include "router/threads.h"

namespace shub::client {

namespace {

constexpr int kSliceMs = 100;

// What a failed call of the library means, naming the object (of `kind`).
std::string explain(int error, const char* kind, const std::string& object) {
  if (error == ENOENT) return missingObject(kind, object);
  if (error == ENOTCONN) {
    if (!std::filesystem::exists(os::ceObjects() + "/" + SHUB_STATUS_NAME)) {
      return missingObject("status object", SHUB_STATUS_NAME);
    }
    return "serialhub is not running (" + noDaemonHolds() + ")";
  }
  if (error == ETIMEDOUT) {
    return "serialhub did not take the bytes within " + std::to_string(SHUB_WRITE_TIMEOUT_MS) +
           " ms (COM7 missing, the line stalled, or the daemon stopped); nothing was sent";
  }
  if (error == ECOMM) return "the line did not take the bytes within its write time-out; some may have gone out";
  if (error == EIO) return object + ": truncated by another process; it no longer works";
  return object + ": " + std::strerror(error);
}

const char* powerName(uint32_t power) {
  if (power == SHUB_STATUS_POWER_BATTERY) return "on battery";
  return power == SHUB_STATUS_POWER_MAINS ? "on mains" : "not known yet";
}

// The frames every peeking thread prints, one line at a time.
struct PeekShared {
  PeekShared(const ToolContext& c, const ToolArgs& a) : context(c), args(a), presence(c, "watch") {}
  const ToolContext& context;
  const ToolArgs& args;
  DaemonPresence presence;
  const Deadline deadline{args.timeoutMs};
  std::mutex lock;
  uint32_t printed = 0;
  bool failed = false;

  bool stop() {
    std::lock_guard<std::mutex> hold(lock);
    return failed || interrupted(context) || deadline.passed() || (args.count && printed >= *args.count);
  }
};

void peekChannel(PeekShared& shared, shub_channel* ch, int32_t number, uint64_t seq) {
  uint8_t frame[SHUB_BLOCK_DATA_SIZE];
  while (!shared.stop()) {
    const uint64_t before = seq;
    const int length = shub_channel_peek(ch, kSliceMs, frame, sizeof frame, &seq);
    if (length < 0 && (errno == ENOTCONN || errno == EINTR)) {
      // Gone: said once, then looked for once a slice until one is back.
      if (errno == ENOTCONN) shared.presence.gone();
      if (!shared.presence.look()) router::pauseFor(std::chrono::milliseconds(kSliceMs));
      continue;
    }
    shared.presence.back();  // a peek that waited its slice out had a daemon
    if (length == 0) continue;
    std::lock_guard<std::mutex> hold(shared.lock);
    if (length < 0) {
      std::fprintf(shared.context.err, "crtctl watch: CRT%d: %s\n", number, std::strerror(errno));
      shared.failed = true;
      return;
    }
    if (shared.args.count && shared.printed >= *shared.args.count) return;
    FILE* out = shared.context.out;
    std::fprintf(out, "%10.3f  CRT%-3d seq %-8" PRIu64 " %3d  ", shared.deadline.elapsed().count() / 1000.0, number,
                 seq, length);
    printHex(out, frame, static_cast<uint32_t>(length));
    if (const uint64_t missed = shub_frames_missed(before, seq)) std::fprintf(out, "  (%" PRIu64 " missed)", missed);
    std::fputc('\n', out);
    std::fflush(out);
    ++shared.printed;
  }
}

}  // namespace

int runPeekWatch(const ToolContext& context, const std::vector<int32_t>& numbers, const ToolArgs& args) {
  std::vector<std::unique_ptr<shub_channel, decltype(&shub_channel_close)>> channels;
  for (int32_t number : numbers) {
    shub_channel* ch = shub_channel_open(number);
    const int error = errno;
    if (ch == nullptr) return failure(context, "watch", explain(error, "channel", "CRT" + std::to_string(number)));
    channels.emplace_back(ch, shub_channel_close);
  }
  // Each channel takes its starting point before the first line is said, so
  // a frame that comes after that line is never missed.
  std::vector<uint64_t> seqs(channels.size(), 0);
  uint8_t scratch[1];
  for (size_t i = 0; i < channels.size(); ++i) {
    if (shub_channel_peek(channels[i].get(), 0, scratch, 0, &seqs[i]) < 0) {
      const int error = errno;
      return failure(context, "watch", explain(error, "status object", SHUB_STATUS_NAME));
    }
  }
  std::fprintf(context.err, "peeking at %zu channel(s) (interrupt to stop)\n", channels.size());
  std::fflush(context.err);
  PeekShared shared{context, args};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < channels.size(); ++i) {
    threads.emplace_back(peekChannel, std::ref(shared), channels[i].get(), numbers[i], seqs[i]);
  }
  for (std::thread& thread : threads) thread.join();
  if (shared.failed) return kExitFailed;
  if (args.count && shared.printed < *args.count && args.timeoutMs && !interrupted(context)) {
    std::fprintf(context.err, "crtctl watch: timed out after %u of %u frames\n", shared.printed, *args.count);
    return kExitTimedOut;
  }
  return kExitOk;
}

int runStats(const ToolContext& context) {
  if (!context.args.empty()) return usageError(context, "stats", "takes no arguments");
  shub_status status;
  if (shub_stats(&status) != 0) return failure(context, "stats", explain(errno, "status object", SHUB_STATUS_NAME));
  FILE* out = context.out;
  std::fprintf(out, "daemon           %s\n", status.daemon_alive ? "running" : "not running (figures as it left them)");
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
  if (!status.daemon_alive) return failure(context, "stats", explain(ENOTCONN, "status object", SHUB_STATUS_NAME));
  return kExitOk;
}

int runWrite(const ToolContext& context) {
  uint8_t bytes[SHUB_BLOCK_DATA_SIZE];
  uint32_t count = 0;
  if (!parseHexBytes(context.args, bytes, sizeof bytes, count)) {
    return usageError(context, "write", "expected 1 to 260 bytes as pairs of hex digits");
  }
  if (shub_write(bytes, count) != 0) return failure(context, "write", explain(errno, "block", SHUB_WRITE_BLOCK_NAME));
  return kExitOk;
}

}  // namespace shub::client
