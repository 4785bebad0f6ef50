// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The monitor: a subscription on the daemon's socket CRT:MONITOR, read in the
// caller's own loop. The daemon ends the connection when it stops or dies, so
// the descriptor turns readable at once and every later call says ENOTCONN.
#include <serialhub/channel.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

timespec fromNanoseconds(int64_t ns) {
  if (ns < 0) ns = 0;
  return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
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

bool unpack(shub_monitor& m, const uint8_t* datagram, size_t size, shub_frame* out) {
  const std::optional<wire::Frame> frame = wire::unpackFrame(datagram, size);
  if (!frame) return false;
  std::memset(out, 0, sizeof *out);
  out->channel = frame->channel;
  out->length = frame->length;
  out->seq = frame->seq;
  out->time = fromNanoseconds(frame->time);
  out->mono = fromNanoseconds(frame->mono);
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

int shub_monitor_next(shub_monitor* m, int timeout_ms, shub_frame* out) {
  if (m == nullptr || out == nullptr) return fail(EINVAL);
  const auto deadline = shub::os::Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  uint8_t datagram[wire::kFrameMax];
  while (!m->gone) {
    const std::ptrdiff_t got = m->socket.receiveNow(datagram, sizeof datagram);
    if (got > 0) return unpack(*m, datagram, static_cast<size_t>(got), out) ? 1 : fail(EPROTO);
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

void shub_monitor_close(shub_monitor* m) { delete m; }
