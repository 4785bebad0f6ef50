// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl watch: every frame of some channels (or of every channel the daemon
// routes) through one monitor, in one thread, as lines of text or one JSON
// object a line. A monitor takes no signal from any consumer, so channels the
// daemon consumes itself are safe to watch. A daemon that stops is said once;
// the watch subscribes again once the next one runs and says that once too.
// Waits run in slices so that SIGINT or SIGTERM ends the watch promptly with
// its output whole.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <serialhub/channel.h>

#include "client/tool.h"
#include "platform/paths.h"
#include "router/threads.h"

namespace shub::client {

namespace {

constexpr int kSliceMs = 100;

using Monitor = std::unique_ptr<shub_monitor, decltype(&shub_monitor_close)>;

Monitor openMonitor(const std::vector<int32_t>& channels) {
  return Monitor(shub_monitor_open(channels.data(), channels.size()), shub_monitor_close);
}

std::string channelNames(const std::vector<int32_t>& channels) {
  if (channels.empty()) return "every channel";
  std::string names;
  for (int32_t channel : channels) names += (names.empty() ? "CRT" : ", CRT") + std::to_string(channel);
  return names;
}

// Why the monitor could not be had, naming the channels the daemon does not route.
std::string whyNoMonitor(int error, const std::vector<int32_t>& channels) {
  if (error == ENOTCONN) return explain(ENOTCONN, "status object", SHUB_STATUS_NAME);
  if (error == EUSERS) return "serialhub serves " + std::to_string(SHUB_MONITOR_MAX) + " monitors already";
  if (error == ETIMEDOUT) return std::string("serialhub did not answer on ") + SHUB_MONITOR_NAME + " within 2 s";
  if (error != ENOENT) return std::string(SHUB_MONITOR_NAME) + " in " + os::ceObjects() + ": " + std::strerror(error);
  shub_status status;
  std::vector<int32_t> unrouted;
  if (shub_stats(&status) == 0) {
    for (int32_t channel : channels) {
      bool routed = false;
      for (uint32_t i = 0; i < status.entry_count; ++i) routed = routed || status.entries[i].channel == channel;
      if (!routed) unrouted.push_back(channel);
    }
  }
  return "serialhub routes no " + (unrouted.empty() ? "channel asked for" : channelNames(unrouted));
}

void printText(FILE* out, const shub_frame& frame, uint64_t missed) {
  const time_t seconds = frame.time.tv_sec;
  tm local{};
  char clock[16] = "??:??:??";
  if (localtime_r(&seconds, &local) != nullptr) std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
  std::fprintf(out, "%s.%03ld  CRT%-3d seq %-8" PRIu64 " %3u  ", clock, frame.time.tv_nsec / 1000000, frame.channel,
               frame.seq, frame.length);
  printHex(out, frame.data, frame.length);
  if (missed) std::fprintf(out, "  (%" PRIu64 " missed)", missed);
  std::fputc('\n', out);
}

void printJson(FILE* out, const shub_frame& frame, uint64_t missed) {
  std::fprintf(out,
               "{\"time\":%lld.%06ld,\"channel\":%d,\"seq\":%" PRIu64 ",\"missed\":%" PRIu64
               ",\"length\":%u,\"data\":\"",
               static_cast<long long>(frame.time.tv_sec), frame.time.tv_nsec / 1000, frame.channel, frame.seq, missed,
               frame.length);
  for (uint32_t i = 0; i < frame.length; ++i) std::fprintf(out, "%02x", frame.data[i]);
  std::fputs("\"}\n", out);
}

// Frames of each channel gone by unseen. The monitor counts them while it is
// connected; sequence numbers go on across a daemon's restart, so the last one
// seen of each channel also counts those delivered before a new subscription.
class Gaps {
 public:
  uint64_t missed(const shub_frame& frame) {
    uint64_t& last = last_[frame.channel];
    const uint64_t across = shub_frames_missed(last, frame.seq);
    last = frame.seq;
    return std::max(frame.missed, across);
  }

 private:
  std::map<int32_t, uint64_t> last_;
};

}  // namespace

int runWatch(const ToolContext& context) {
  const std::optional<ToolArgs> args =
      parseArgs(context, "watch", kOptionCount | kOptionTimeout | kOptionPeek | kOptionJson);
  const auto channels = args ? parseChannels(context, "watch", *args, true) : std::nullopt;
  if (!channels) return kExitUsage;
  if (channels->size() > SHUB_MONITOR_CHANNELS_MAX) {
    return usageError(context, "watch", ("at most " + std::to_string(SHUB_MONITOR_CHANNELS_MAX) + " channels").c_str());
  }
  Monitor monitor = openMonitor(*channels);
  if (!monitor) return failure(context, "watch", whyNoMonitor(errno, *channels));
  std::fprintf(context.err, "watching %s (interrupt to stop)\n", channelNames(*channels).c_str());
  std::fflush(context.err);

  const Deadline deadline{args->timeoutMs};
  DaemonPresence presence(context, "watch");
  Gaps gaps;
  uint32_t printed = 0;
  while (!interrupted(context) && !deadline.passed() && (!args->count || printed < *args->count)) {
    if (!monitor) {
      monitor = openMonitor(*channels);
      if (!monitor && errno != ENOTCONN && errno != ETIMEDOUT) return failure(context, "watch", whyNoMonitor(errno, *channels));
      if (monitor) {
        presence.back();
      } else {
        router::pauseFor(std::chrono::milliseconds(deadline.waitMs(kSliceMs)));
      }
      continue;
    }
    shub_frame frame;
    const int got = shub_monitor_next(monitor.get(), deadline.waitMs(kSliceMs), &frame);
    if (got > 0) {
      (args->json ? printJson : printText)(context.out, frame, gaps.missed(frame));
      std::fflush(context.out);
      ++printed;
    } else if (got < 0 && errno == ENOTCONN) {
      presence.gone();
      monitor.reset();
    } else if (got < 0 && errno != EINTR) {
      return failure(context, "watch", std::string(SHUB_MONITOR_NAME) + ": " + std::strerror(errno));
    }
  }
  if (args->count && printed < *args->count && deadline.passed() && !interrupted(context)) {
    std::fprintf(context.err, "crtctl watch: timed out after %u of %u frames\n", printed, *args->count);
    return kExitTimedOut;
  }
  return kExitOk;
}

}  // namespace shub::client
