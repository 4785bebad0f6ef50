// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The monitor: a subscription on the daemon's socket CRT:MONITOR, read in the
// caller's own loop. The daemon ends the connection when it stops or dies, so
// the descriptor turns readable at once and every later call says ENOTCONN.
// Both entries of shub_monitor_next are defined here, whatever time_t this
// file is built with: the header's choice between them is for programs.
#define SHUB_BUILDING_LIBRARY
#include <serialhub/channel.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "platform/client_objects.h"
#include "platform/monitor_wire.h"
#include "platform/seqpacket.h"

struct shub_monitor {
  shub::os::Socket socket;
  bool gone = false;
  struct Last {
    int32_t channel;
    uint64_t seq;
  };
  std::vector<Last> last;  // the previous frame's sequence number of each channel seen
};

namespace {

namespace wire = shub::os::monitor_wire;

constexpr std::chrono::milliseconds kAnswerTime{2000};

int fail(int error) {
  errno = error;
  return -1;
}

// shub_frame as a program sees it, for either time_t a 32-bit program may be
// built with: `long` seconds and nanoseconds (also every 64-bit program's), or
// 64-bit ones. A 64-bit nanosecond field holds the 32-bit one and its padding
// on either byte order.
template <typename Word>
struct FrameLayout {
  struct Time {
    Word seconds, nanoseconds;
  };
  int32_t channel;
  uint32_t length;
  uint64_t seq;
  uint64_t missed;
  Time time, mono;
  uint8_t data[SHUB_BLOCK_DATA_SIZE];
};
using LongTimeFrame = FrameLayout<long>;
using Time64Frame = FrameLayout<int64_t>;
static_assert(sizeof(shub_frame) == (sizeof(time_t) == sizeof(long) ? sizeof(LongTimeFrame) : sizeof(Time64Frame)));
static_assert(offsetof(shub_frame, data) ==
              (sizeof(time_t) == sizeof(long) ? offsetof(LongTimeFrame, data) : offsetof(Time64Frame, data)));

template <typename Time>
Time fromNanoseconds(int64_t ns) {
  if (ns < 0) ns = 0;
  using Word = decltype(Time::seconds);
  return {static_cast<Word>(ns / 1000000000), static_cast<Word>(ns % 1000000000)};
}

// Sends the subscribe message and reads the answer: 0 or an errno value. A
// daemon that refuses at once may close before our send; its answer is read anyway.
int subscribe(const shub::os::Socket& socket, const int* channels, uint32_t count) {
  uint8_t message[wire::kMessageMax];
  socket.sendNow(message, wire::packMessage(message, count, channels, count));
  const auto deadline = shub::os::Clock::now() + kAnswerTime;
  uint8_t answer[wire::kMessageMax];
  for (;;) {
    const std::ptrdiff_t got = socket.receiveNow(answer, sizeof answer);
    if (got > 0) {
      const std::optional<uint32_t> error = wire::messageWord(answer, static_cast<size_t>(got));
      return error ? static_cast<int>(*error) : EPROTO;
    }
    // A daemon that closed with our request unread makes the first receive
    // say ECONNRESET, ahead of the answer it left.
    if (got < 0 && errno == ECONNRESET) continue;
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return ENOTCONN;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - shub::os::Clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    if (socket.waitReadable(static_cast<int>(left.count())) < 0 && errno != EINTR) return errno;
  }
}

// The frames this monitor missed of `channel` since its previous one.
uint64_t missedBefore(shub_monitor& m, int32_t channel, uint64_t seq) {
  const auto last = std::find_if(m.last.begin(), m.last.end(), [channel](const auto& l) { return l.channel == channel; });
  if (last == m.last.end()) {
    m.last.push_back({channel, seq});
    return 0;
  }
  const uint64_t missed = shub_frames_missed(last->seq, seq);
  last->seq = seq;
  return missed;
}

template <typename Layout>
bool unpack(shub_monitor& m, const uint8_t* datagram, size_t size, Layout* out) {
  const std::optional<wire::Frame> frame = wire::unpackFrame(datagram, size);
  if (!frame) return false;
  std::memset(out, 0, sizeof *out);
  out->channel = frame->channel;
  out->length = frame->length;
  out->seq = frame->seq;
  out->time = fromNanoseconds<typename Layout::Time>(frame->time);
  out->mono = fromNanoseconds<typename Layout::Time>(frame->mono);
  std::memcpy(out->data, frame->bytes, frame->length);
  // A list of every channel grows only with the channels a daemon routes.
  if (m.last.size() < 4 * SHUB_MONITOR_CHANNELS_MAX) out->missed = missedBefore(m, out->channel, out->seq);
  return true;
}

}  // namespace

shub_monitor* shub_monitor_open(const int* channels, size_t count) {
  if (count > SHUB_MONITOR_CHANNELS_MAX || (count > 0 && channels == nullptr)) {
    errno = EINVAL;
    return nullptr;
  }
  shub::os::Socket socket = shub::os::connectToObject(SHUB_MONITOR_NAME, kAnswerTime);
  if (!socket.valid()) return nullptr;
  if (const int error = subscribe(socket, channels, static_cast<uint32_t>(count)); error != 0) {
    errno = error;
    return nullptr;
  }
  auto* m = new (std::nothrow) shub_monitor;
  if (m == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  m->socket = std::move(socket);
  return m;
}

int shub_monitor_fd(const shub_monitor* m) { return m != nullptr ? m->socket.fd() : fail(EINVAL); }

namespace {

// Fills the caller's frame through a copy: its type is the layout of the
// caller's time_t, which need not be this library's.
template <typename Layout>
int nextFrame(shub_monitor* m, int timeout_ms, void* out) {
  if (m == nullptr || out == nullptr) return fail(EINVAL);
  const auto deadline = shub::os::Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  uint8_t datagram[wire::kFrameMax];
  while (!m->gone) {
    const std::ptrdiff_t got = m->socket.receiveNow(datagram, sizeof datagram);
    if (got > 0) {
      Layout frame;
      if (!unpack(*m, datagram, static_cast<size_t>(got), &frame)) return fail(EPROTO);
      std::memcpy(out, &frame, sizeof frame);
      return 1;
    }
    if (got < 0 && errno == EMSGSIZE) return fail(EPROTO);
    if (got == 0 || errno != EAGAIN) {
      m->gone = true;  // the daemon closed, or the connection broke
      break;
    }
    int wait = -1;
    if (timeout_ms >= 0) {
      wait = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - shub::os::Clock::now()).count());
      if (wait <= 0) return 0;
    }
    if (m->socket.waitReadable(wait) < 0) return -1;  // EINTR, as read(2) would
  }
  return fail(ENOTCONN);
}

}  // namespace

int shub_monitor_next(shub_monitor* m, int timeout_ms, shub_frame* out) {
  return nextFrame<LongTimeFrame>(m, timeout_ms, out);
}

extern "C" SHUB_API int shub_monitor_next_time64(shub_monitor* m, int timeout_ms, shub_frame* out) {
  return nextFrame<Time64Frame>(m, timeout_ms, out);
}

void shub_monitor_close(shub_monitor* m) { delete m; }
