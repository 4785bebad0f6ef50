// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl top: the daemon at a glance, refreshed once a second: the port, power
// and backlight, the counters of CRT:STATUS, and per route entry its frames,
// their rate and the last frame of its channel.
//
// It only looks: frames are copied under the status object's seqlock and no
// event is touched, so no consumer loses a signal, and top does not count as
// a watcher, so the daemon's delivery path does not change while it runs. The
// daemon may be missing, restart (its counters start again) or die between
// two looks; each case shows as such and the view goes on. --once prints the
// same screen as plain text; its rates are "-", as one look has no interval.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <serialhub/channel.h>

#include "client/channel_client.h"
#include "client/tool.h"
#include "platform/tool_files.h"

namespace shub::client {

namespace {

constexpr int kRefreshMs = 1000;
int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct LastFrame {
  bool seen = false;
  uint32_t length = 0;
  uint8_t bytes[SHUB_BLOCK_DATA_SIZE] = {};
};

// One look at the daemon.
struct TopSample {
  int64_t atMs = 0;
  shub_status status{};
  LastFrame frames[SHUB_STATUS_ENTRY_COUNT];
};

// The status object and the channels' blocks, mapped at first need and kept:
// the files outlive a daemon restart, so the mappings stay good.
class TopSource {
 public:
  TopSource() = default;
  TopSource(const TopSource&) = delete;
  TopSource& operator=(const TopSource&) = delete;

  bool sample(TopSample& out, std::string* why) {
    out = TopSample{};
    out.atMs = nowMs();
    if (shub_stats(&out.status) != 0) {
      return refuse(why, errno == ENOTCONN ? missingObject("status object", SHUB_STATUS_NAME)
                                           : std::string(SHUB_STATUS_NAME) + ": " + std::strerror(errno));
    }
    for (uint32_t i = 0; i < out.status.entry_count; ++i) peek(out.status, out.status.entries[i].channel, out.frames[i]);
    return true;
  }

 private:
  // The channel's block as its sequence number last named it; nothing when
  // no frame was ever put there.
  void peek(const shub_status& status, int32_t channel, LastFrame& frame) {
    uint32_t first = 0;  // the entry that keeps the channel's sequence number
    while (status.entries[first].channel != channel) ++first;
    if (status.entries[first].seq < 2) return;  // 1: no frame yet
    auto& ch = channels_.try_emplace(channel, nullptr, shub_channel_close).first->second;
    if (!ch) ch.reset(shub_channel_open(channel));
    uint8_t block[SHUB_BLOCK_SIZE];
    if (!ch || shub_channel_read(ch.get(), block, sizeof block) < 0) return;
    uint32_t lengthWord = 0;
    std::memcpy(&lengthWord, block + SHUB_BLOCK_LENGTH_OFFSET, sizeof lengthWord);
    frame.seen = true;
    frame.length = std::min(lengthWord, SHUB_BLOCK_DATA_SIZE);
    std::memcpy(frame.bytes, block + SHUB_BLOCK_DATA_OFFSET, frame.length);
  }

  std::map<int32_t, std::unique_ptr<shub_channel, decltype(&shub_channel_close)>> channels_;
};

const char* powerWord(uint32_t power) {
  switch (power) {
    case SHUB_STATUS_POWER_BATTERY:
      return "battery";
    case SHUB_STATUS_POWER_MAINS:
      return "mains";
    default:
      return "unknown";
  }
}

// Frames per second since the previous look; "-" without one, or when the
// daemon restarted in between (its counters started again).
std::string rate(const TopSample& now, const TopSample* before, uint32_t entry) {
  if (before == nullptr || now.atMs <= before->atMs || before->status.entry_count != now.status.entry_count) return "-";
  const shub_entry_status& was = before->status.entries[entry];
  const shub_entry_status& is = now.status.entries[entry];
  if (was.channel != is.channel || is.frames < was.frames) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(is.frames - was.frames) * 1000.0 /
                                               static_cast<double>(now.atMs - before->atMs));
  return text;
}

// As many bytes as fit in `room` columns, with ".." when some were left out.
std::string hexThatFits(const LastFrame& frame, size_t room) {
  const std::string all = router::hexText(frame.bytes, frame.length);
  if (room == 0 || all.size() <= room) return all;
  const size_t pairs = room >= 5 ? (room - 5) / 3 + 1 : 0;  // each "xx " and the closing " .." fit
  return pairs == 0 ? ".." : all.substr(0, 3 * pairs - 1) + " ..";
}

__attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...) {
  char line[256];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(line, sizeof line, pattern, args);
  va_end(args);
  return line;
}

// The screen, one string a line, cut to `width` columns (0: no limit).
std::vector<std::string> topScreen(const TopSample& now, const TopSample* before, uint32_t width) {
  const shub_status& s = now.status;
  std::vector<std::string> lines = {
      format("serialhub %s   " SHUB_SERIAL_NODE " %s   opens %" PRIu64 "   hang-ups %" PRIu64,
             s.daemon_alive ? "running" : "not running (figures as it left them)",
             !s.daemon_alive ? "closed" : s.port_open ? "open" : "waiting", s.port_opens, s.hangups),
      format("power %s   backlight %s", powerWord(s.power), s.backlight ? "on" : "off"),
      format("noise %" PRIu64 " %s   dark drops %" PRIu64 "   overlong %" PRIu64, s.noise_bytes,
             s.noise_bytes == 1 ? "byte" : "bytes", s.dark_frames, s.overlong_frames),
      "",
      "entry  channel      frames  frames/s  len  last frame",
  };
  for (uint32_t i = 0; i < s.entry_count; ++i) {
    const LastFrame& frame = now.frames[i];
    std::string line = format("%-5u  CRT%-8d  %6" PRIu64 "  %8s  %3s  ", i, s.entries[i].channel, s.entries[i].frames,
                              rate(now, before, i).c_str(), frame.seen ? std::to_string(frame.length).c_str() : "-");
    const size_t room = width == 0 ? 0 : width > line.size() ? width - line.size() : 1;
    line += frame.seen ? hexThatFits(frame, room) : "-";
    lines.push_back(line);
  }
  if (width != 0) {
    for (std::string& line : lines) line.resize(std::min<size_t>(line.size(), width));
  }
  return lines;
}

int once(const ToolContext& context) {
  TopSource source;
  TopSample now;
  std::string error;
  if (!source.sample(now, &error)) {
    std::fprintf(context.err, "crtctl top: %s\n", error.c_str());
    return kExitFailed;
  }
  const int fd = fileno(context.out);
  for (const std::string& line : topScreen(now, nullptr, os::isTerminal(fd) ? os::terminalColumns(fd) : 0)) {
    std::fprintf(context.out, "%s\n", line.c_str());
  }
  if (now.status.daemon_alive) return kExitOk;
  std::fprintf(context.err, "crtctl top: serialhub is not running (%s)\n", noDaemonHolds().c_str());
  return kExitFailed;
}

// Waits out the rest of a refresh for a key; false when the view should end.
bool waitForRefresh(const ToolContext& context, int64_t dueMs) {
  for (;;) {
    if (interrupted(context)) return false;
    const int64_t left = dueMs - nowMs();
    if (left <= 0) return true;
    const int key = os::waitKey(0, static_cast<int>(left));
    if (key == 'q' || key == 'Q' || key == os::kInputGone) return false;
  }
}

// The live view on the alternate screen, redrawn in place so it does not
// flicker; the terminal is given back as it was found.
int live(const ToolContext& context) {
  const int fd = fileno(context.out);
  const os::KeyMode keys(0);
  if (!os::isTerminal(fd) || !keys.active()) {
    return usageError(context, "top", "the live view needs a terminal on input and output; try --once");
  }
  std::fputs("\x1b[?1049h\x1b[?25l", context.out);
  TopSource source;
  TopSample samples[2];
  const TopSample* before = nullptr;
  for (int turn = 0;; turn ^= 1) {
    TopSample& now = samples[turn];
    std::string error;
    const uint32_t width = os::terminalColumns(fd);
    std::vector<std::string> lines;
    if (source.sample(now, &error)) {
      lines = topScreen(now, before, width);
      before = &now;
    } else {
      lines = {("crtctl top: " + error).substr(0, width == 0 ? std::string::npos : width)};
      before = nullptr;
    }
    lines.push_back("");
    lines.push_back("q quits");
    std::string screen = "\x1b[H";
    for (const std::string& line : lines) screen += line + "\x1b[K\n";
    screen += "\x1b[J";
    std::fputs(screen.c_str(), context.out);
    std::fflush(context.out);
    if (!waitForRefresh(context, now.atMs + kRefreshMs)) break;
  }
  std::fputs("\x1b[?25h\x1b[?1049l", context.out);
  std::fflush(context.out);
  return kExitOk;
}

}  // namespace

int runTop(const ToolContext& context) {
  if (context.args.empty()) return live(context);
  if (context.args.size() == 1 && context.args[0] == "--once") return once(context);
  return usageError(context, "top", "the only option is --once");
}

}  // namespace shub::client
