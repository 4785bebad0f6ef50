// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The application end of bench/monitor_latency.py, through libserialhub's
// public interface only. Two ways to wait for a channel's frames, measured
// against each other, and a crowd of idle-but-reading monitors:
//
//   monitor <channel> <count>  poll() on a monitor's descriptor, then
//                              shub_monitor_next(m, 0, ...) until it has none;
//                              per frame: "<seq> <now> <frame mono>"
//   peek <channel> <count>     shub_channel_peek(); per frame: "<seq> <now>"
//   hold <monitors> <channel>  opens that many monitors of the channel and
//                              drains them all until stdin ends, then prints
//                              "received <frames> missed <frames>"
//
// <seq> is the frame's bytes 2..5 (little-endian), the number the sender put
// there; <now> and <frame mono> are CLOCK_MONOTONIC nanoseconds: when the
// frame reached this process, and when the daemon read its last byte. Every
// mode prints "ready" once it waits. The waiting modes end after <count>
// frames or 2 s without one.
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include <serialhub/channel.h>

namespace {

constexpr int kQuietMs = 2000;

long long nanoseconds(const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

long long monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return nanoseconds(now);
}

unsigned senderSeq(const uint8_t* data, size_t length) {
  if (length < 6) return 0xFFFFFFFFu;
  return data[2] | data[3] << 8 | data[4] << 16 | static_cast<unsigned>(data[5]) << 24;
}

void ready() {
  std::printf("ready\n");
  std::fflush(stdout);
}

int fail(const char* what, int error) {
  std::fprintf(stderr, "monitor_probe: %s: %s\n", what, std::strerror(error));
  return 1;
}

int watchMonitor(int channel, long count) {
  shub_monitor* monitor = shub_monitor_open(&channel, 1);
  if (!monitor) return fail("shub_monitor_open", errno);
  pollfd wanted{shub_monitor_fd(monitor), POLLIN, 0};
  shub_frame frame;
  int status = 0;
  ready();
  for (long seen = 0; seen < count && status == 0;) {
    const int woke = poll(&wanted, 1, kQuietMs);
    if (woke == 0) break;
    if (woke < 0) {
      if (errno == EINTR) continue;
      status = fail("poll", errno);
      break;
    }
    // Everything queued now, as an event loop would on one wake-up.
    int got = 0;
    while (seen < count && (got = shub_monitor_next(monitor, 0, &frame)) == 1) {
      const long long now = monotonicNs();
      std::printf("%u %lld %lld\n", senderSeq(frame.data, frame.length), now, nanoseconds(frame.mono));
      ++seen;
    }
    if (got < 0 && errno != EINTR) status = fail("shub_monitor_next", errno);
  }
  shub_monitor_close(monitor);
  return status;
}

int watchPeek(int channel, long count) {
  shub_channel* handle = shub_channel_open(channel);
  if (!handle) return fail("shub_channel_open", errno);
  uint8_t data[SHUB_BLOCK_DATA_SIZE];
  uint64_t seq = 0;
  int status = 0;
  // A starting point now, so that a frame sent right after "ready" counts.
  if (shub_channel_peek(handle, 0, data, sizeof data, &seq) < 0) status = fail("shub_channel_peek", errno);
  if (status == 0) ready();
  for (long seen = 0; seen < count && status == 0;) {
    const int length = shub_channel_peek(handle, kQuietMs, data, sizeof data, &seq);
    if (length == 0) break;
    if (length < 0) {
      if (errno == EINTR) continue;
      status = fail("shub_channel_peek", errno);
      break;
    }
    const long long now = monotonicNs();
    std::printf("%u %lld\n", senderSeq(data, static_cast<size_t>(length)), now);
    ++seen;
  }
  shub_channel_close(handle);
  return status;
}

struct Drained {
  unsigned long long received = 0;
  unsigned long long missed = 0;
};

// Takes every frame queued on one monitor; false when it failed for good.
bool drain(shub_monitor* monitor, Drained& total) {
  shub_frame frame;
  int got;
  while ((got = shub_monitor_next(monitor, 0, &frame)) == 1) {
    ++total.received;
    total.missed += frame.missed;
  }
  return got == 0 || errno == EINTR;
}

int holdMonitors(long wanted, int channel) {
  std::vector<shub_monitor*> monitors;
  std::vector<pollfd> fds{{0, POLLIN, 0}};  // stdin's end says stop
  int status = 0;
  for (long i = 0; i < wanted; ++i) {
    shub_monitor* monitor = shub_monitor_open(&channel, 1);
    if (!monitor) {
      status = fail("shub_monitor_open", errno);
      break;
    }
    monitors.push_back(monitor);
    fds.push_back({shub_monitor_fd(monitor), POLLIN, 0});
  }
  Drained total;
  if (status == 0) ready();
  while (status == 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      status = fail("poll", errno);
      break;
    }
    if (fds[0].revents) break;
    for (size_t i = 1; i < fds.size() && status == 0; ++i) {
      if (fds[i].revents && !drain(monitors[i - 1], total)) status = fail("shub_monitor_next", errno);
    }
  }
  for (shub_monitor* monitor : monitors) shub_monitor_close(monitor);
  std::printf("received %llu missed %llu\n", total.received, total.missed);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc == 4 ? argv[1] : "";
  if (mode != "monitor" && mode != "peek" && mode != "hold") {
    std::fprintf(stderr,
                 "usage: monitor_probe monitor|peek <channel> <count>\n"
                 "       monitor_probe hold <monitors> <channel>\n");
    return 2;
  }
  const long first = std::atol(argv[2]);
  const long second = std::atol(argv[3]);
  if (mode == "hold") return holdMonitors(first, static_cast<int>(second));
  if (mode == "monitor") return watchMonitor(static_cast<int>(first), second);
  return watchPeek(static_cast<int>(first), second);
}
