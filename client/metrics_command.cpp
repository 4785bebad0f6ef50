// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl metrics: the status object in Prometheus' text exposition format,
// for node_exporter's textfile collector, which a timer fills every few
// seconds. The collector wants the up gauge whatever happened, so without a
// daemon (none ever ran, or it stopped) the output is `serialhub_up 0` alone:
// the figures a stopped daemon left are not its state now. Route entries that
// share a channel are one series, as a series may appear only once.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>

#include <serialhub/channel.h>

#include "client/tool.h"

namespace shub::client {

namespace {

void family(FILE* out, const char* name, const char* type, const char* help) {
  std::fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void gauge(FILE* out, const char* name, const char* help, uint32_t value) {
  family(out, name, "gauge", help);
  std::fprintf(out, "%s %u\n", name, value);
}

void counter(FILE* out, const char* name, const char* help, uint64_t value) {
  family(out, name, "counter", help);
  std::fprintf(out, "%s %" PRIu64 "\n", name, value);
}

struct ChannelTotals {
  uint64_t frames = 0;
  uint64_t bytes = 0;
};

void printRunning(FILE* out, const shub_status& status) {
  gauge(out, "serialhub_port_open", "1 while the serial port COM7 is open, 0 while the daemon looks for it.",
        status.port_open ? 1 : 0);
  // Power not known yet has no honest value: the gauge is left out.
  if (status.power == SHUB_STATUS_POWER_MAINS || status.power == SHUB_STATUS_POWER_BATTERY) {
    gauge(out, "serialhub_power_mains", "1 on mains power, 0 on battery.",
          status.power == SHUB_STATUS_POWER_MAINS ? 1 : 0);
  }
  gauge(out, "serialhub_backlight_on", "1 while the backlight is on.", status.backlight ? 1 : 0);

  std::map<int32_t, ChannelTotals> channels;
  for (uint32_t i = 0; i < status.entry_count; ++i) {
    ChannelTotals& totals = channels[status.entries[i].channel];
    totals.frames += status.entries[i].frames;
    totals.bytes += status.entries[i].bytes;
  }
  family(out, "serialhub_frames_total", "counter", "Frames delivered to the channel since the daemon started.");
  for (const auto& [channel, totals] : channels) {
    std::fprintf(out, "serialhub_frames_total{channel=\"%d\"} %" PRIu64 "\n", channel, totals.frames);
  }
  family(out, "serialhub_bytes_total", "counter", "Bytes of the frames delivered to the channel since the daemon started.");
  for (const auto& [channel, totals] : channels) {
    std::fprintf(out, "serialhub_bytes_total{channel=\"%d\"} %" PRIu64 "\n", channel, totals.bytes);
  }

  counter(out, "serialhub_noise_bytes_total", "Bytes of the line skipped while looking for a frame header.",
          status.noise_bytes);
  counter(out, "serialhub_dark_frames_total", "Touch frames dropped while the screen was dark.", status.dark_frames);
  counter(out, "serialhub_overlong_frames_total", "Frames discarded for outgrowing the 260-byte data area.",
          status.overlong_frames);
  counter(out, "serialhub_port_opens_total", "Opens of the serial port COM7.", status.port_opens);
  counter(out, "serialhub_hangups_total", "Hang-ups of the serial port COM7.", status.hangups);
}

}  // namespace

int runMetrics(const ToolContext& context) {
  if (!context.args.empty()) return usageError(context, "metrics", "takes no arguments");
  shub_status status;
  const bool read = shub_stats(&status) == 0;
  // No status object only means no daemon ever ran here; anything else is worth saying.
  if (!read && errno != ENOTCONN) {
    std::fprintf(context.err, "crtctl metrics: %s\n", explain(errno, "status object", SHUB_STATUS_NAME).c_str());
  }
  const bool up = read && status.daemon_alive;
  gauge(context.out, "serialhub_up", "1 while a serialhub daemon runs.", up ? 1 : 0);
  if (up) printRunning(context.out, status);
  return kExitOk;
}

}  // namespace shub::client
