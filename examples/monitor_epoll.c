// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
/* Watches channels 1, 2 and 4 through a monitor, with a once-a-second timer
 * beside it in one epoll loop: the shape of an application that has other
 * things to wait for too. It follows daemon restarts: when the daemon goes
 * away (ENOTCONN) it closes the monitor and tries to open a new one every
 * 0.5 s until a daemon runs again.
 *
 *   cc monitor_epoll.c $(pkg-config --cflags --libs serialhub)
 *   ./a.out [frames]        # ends after that many frames; else at Ctrl-C
 */
#define _GNU_SOURCE
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <serialhub/channel.h>

static const int channels[] = {1, 2, 4};

/* Arms `timer` to expire every `ms` milliseconds; 0 disarms it. */
static void every(int timer, long ms) {
  const struct timespec period = {ms / 1000, ms % 1000 * 1000000};
  const struct itimerspec schedule = {period, period};
  timerfd_settime(timer, 0, &schedule, NULL);
}

static void watch(int loop, int fd) {
  struct epoll_event event = {.events = EPOLLIN, .data.fd = fd};
  epoll_ctl(loop, EPOLL_CTL_ADD, fd, &event);
}

/* A new monitor in the loop; NULL with errno when none could be opened. */
static shub_monitor *open_monitor(int loop) {
  shub_monitor *monitor = shub_monitor_open(channels, sizeof channels / sizeof channels[0]);
  if (monitor != NULL) {
    watch(loop, shub_monitor_fd(monitor));
    printf("monitoring channels 1, 2 and 4\n");
  }
  return monitor;
}

/* The daemon is not running, or not answering yet: worth trying again. */
static int daemon_away(int error) { return error == ENOTCONN || error == ETIMEDOUT; }

static void print_frame(const shub_frame *frame) {
  printf("CRT%d seq %" PRIu64 " missed %" PRIu64 " at %lld.%06ld:", frame->channel, frame->seq, frame->missed,
         (long long)frame->time.tv_sec, frame->time.tv_nsec / 1000);
  for (uint32_t i = 0; i < frame->length; ++i) printf(" %02x", frame->data[i]);
  printf("\n");
}

int main(int argc, char **argv) {
  const long wanted = argc > 1 ? atol(argv[1]) : -1;
  setvbuf(stdout, NULL, _IOLBF, 0);
  const int loop = epoll_create1(EPOLL_CLOEXEC);
  const int tick = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  const int retry = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (loop < 0 || tick < 0 || retry < 0) {
    perror("epoll or timerfd");
    return 1;
  }
  watch(loop, tick);
  watch(loop, retry);
  every(tick, 1000);

  shub_monitor *monitor = open_monitor(loop);
  if (monitor == NULL) {
    if (!daemon_away(errno)) {
      perror("shub_monitor_open");
      return 1;
    }
    printf("no daemon yet: retrying every 0.5 s\n");
    every(retry, 500);
  }

  long seen = 0, this_second = 0;
  while (wanted < 0 || seen < wanted) {
    struct epoll_event event;
    if (epoll_wait(loop, &event, 1, -1) < 0) {
      if (errno == EINTR) continue;
      perror("epoll_wait");
      return 1;
    }
    uint64_t expiries;
    if (event.data.fd == tick) {
      if (read(tick, &expiries, sizeof expiries) > 0) printf("%ld frames in the last second\n", this_second);
      this_second = 0;
    } else if (event.data.fd == retry) {
      if (read(retry, &expiries, sizeof expiries) < 0) continue;
      monitor = open_monitor(loop);
      if (monitor != NULL) {
        every(retry, 0);
      } else if (!daemon_away(errno)) {
        perror("shub_monitor_open");
        return 1;
      }
    } else {
      /* Take every frame there is: the descriptor stays readable until then. */
      shub_frame frame;
      int got = 0;
      while ((wanted < 0 || seen < wanted) && (got = shub_monitor_next(monitor, 0, &frame)) == 1) {
        print_frame(&frame);
        ++seen;
        ++this_second;
      }
      if (got < 0 && errno == ENOTCONN) {
        printf("daemon gone: retrying every 0.5 s\n");
        epoll_ctl(loop, EPOLL_CTL_DEL, shub_monitor_fd(monitor), NULL);
        shub_monitor_close(monitor);
        monitor = NULL;
        every(retry, 500);
      } else if (got < 0 && errno != EINTR) {
        perror("shub_monitor_next");
        return 1;
      }
    }
  }
  if (monitor != NULL) shub_monitor_close(monitor);
  close(tick);
  close(retry);
  close(loop);
  return 0;
}
