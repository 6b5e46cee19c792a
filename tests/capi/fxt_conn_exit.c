/* A host that calls exit() from inside a state callback, on a library
 * worker, while its main thread still waits: the process must end with the
 * callback's status instead of hanging or crashing. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "mok/mok_fxt.h"

static mok_fxt_conn_t* conn; /* reachable at exit */

static void on_packet(mok_fxt_packet_t* packet) { (void)packet; }

static void on_state(uint32_t state) {
  if (state == MOK_FXT_STATE_CONNECT_FAILED) exit(0);
}

int main(void) {
  struct timespec tick = {0, 10 * 1000 * 1000};
  int i;
  conn = mok_fxt_connect("127.0.0.1:1", on_packet, on_state);
  if (conn == NULL) {
    fprintf(stderr, "no connection handle\n");
    return 1;
  }
  for (i = 0; i < 1000; ++i) nanosleep(&tick, NULL);
  fprintf(stderr, "the state callback never ended the process\n");
  return 1;
}
