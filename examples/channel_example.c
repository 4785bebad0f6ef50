// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
/* A consumer of one channel, as an application of the device would write it:
 * shows a time-out, hands a text to the serial port, waits for the next
 * frame of the channel and prints it, and shows that 261 bytes are refused.
 *
 *   cc channel_example.c $(pkg-config --cflags --libs serialhub)
 *   ./a.out 3 hello
 *
 * Exits 0 when all of that went as described, 1 otherwise.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <serialhub/channel.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <channel> <text to send>\n", argv[0]);
    return 2;
  }
  const int number = atoi(argv[1]);
  shub_channel *ch = shub_channel_open(number);
  if (ch == NULL) {
    fprintf(stderr, "CRT%d: %s\n", number, strerror(errno));
    return 1;
  }
  unsigned char frame[SHUB_BLOCK_DATA_SIZE];
  const int none = shub_channel_wait(ch, 100, frame, sizeof frame);
  printf("%s\n", none == 0 ? "no frame within 100 ms" : "unexpected frame");

  if (shub_write(argv[2], strlen(argv[2])) != 0) {
    fprintf(stderr, "write: %s\n", strerror(errno));
    return 1;
  }
  const int length = shub_channel_wait(ch, 10000, frame, sizeof frame);
  if (length <= 0) {
    fprintf(stderr, "CRT%d: %s\n", number, length == 0 ? "no frame within 10 s" : strerror(errno));
    return 1;
  }
  printf("frame");
  for (int i = 0; i < length; ++i) printf(" %02x", frame[i]);
  printf("\n");

  static unsigned char tooMany[SHUB_BLOCK_DATA_SIZE + 1];
  const int refused = shub_write(tooMany, sizeof tooMany) == -1 && errno == EMSGSIZE;
  printf("261 bytes %s\n", refused ? "refused: EMSGSIZE" : "accepted");

  shub_channel_close(ch);
  return none == 0 && refused ? 0 : 1;
}
