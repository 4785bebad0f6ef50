// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The crtctl commands built on libserialhub's status and write calls: stats
// (as text or one JSON object) and write (which refuses when no daemon runs,
// instead of leaving bytes for a later one), and what the library's errors
// mean to the user.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include <serialhub/channel.h>

#include "client/channel_client.h"
#include "client/tool.h"
#include "platform/paths.h"

namespace shub::client {

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

namespace {

const char* powerName(uint32_t power) {
  if (power == SHUB_STATUS_POWER_BATTERY) return "on battery";
  return power == SHUB_STATUS_POWER_MAINS ? "on mains" : "not known yet";
}

void printStatusText(FILE* out, const shub_status& status) {
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
}

// The JSON form of shub_status: its own snake_case names, yes-or-no words
// as booleans, power as a word, entries as an array.
void printStatusJson(FILE* out, const shub_status& status) {
  const auto flag = [](uint32_t value) { return value ? "true" : "false"; };
  const char* power = status.power == SHUB_STATUS_POWER_MAINS     ? "mains"
                      : status.power == SHUB_STATUS_POWER_BATTERY ? "battery"
                                                                  : "unknown";
  std::fprintf(out,
               "{\"daemon_alive\":%s,\"power\":\"%s\",\"backlight\":%s,\"watchers\":%u,\"noise_bytes\":%" PRIu64
               ",\"dark_frames\":%" PRIu64 ",\"overlong_frames\":%" PRIu64 ",\"port_opens\":%" PRIu64
               ",\"hangups\":%" PRIu64 ",\"port_open\":%s,\"entries\":[",
               flag(status.daemon_alive), power, flag(status.backlight), status.watchers, status.noise_bytes,
               status.dark_frames, status.overlong_frames, status.port_opens, status.hangups, flag(status.port_open));
  for (uint32_t i = 0; i < status.entry_count; ++i) {
    const shub_entry_status& entry = status.entries[i];
    std::fprintf(out, "%s{\"channel\":%d,\"seq\":%" PRIu64 ",\"frames\":%" PRIu64 ",\"bytes\":%" PRIu64 "}",
                 i ? "," : "", entry.channel, entry.seq, entry.frames, entry.bytes);
  }
  std::fputs("]}\n", out);
}

}  // namespace

int runStats(const ToolContext& context) {
  const std::optional<ToolArgs> args = parseArgs(context, "stats", kOptionJson);
  if (!args) return kExitUsage;
  if (!args->positional.empty()) return usageError(context, "stats", "takes no arguments but --json");
  shub_status status;
  if (shub_stats(&status) != 0) return failure(context, "stats", explain(errno, "status object", SHUB_STATUS_NAME));
  FILE* out = context.out;
  if (args->json) {
    printStatusJson(out, status);
  } else {
    printStatusText(out, status);
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
