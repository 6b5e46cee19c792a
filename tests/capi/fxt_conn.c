/* The connection C interface from plain C: neutral results for NULL and bad
 * arguments, a connection to a refused loopback port reporting its states,
 * and a process that returns from main with a connection still live. */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include "mok/mok_fxt.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static uint32_t states[64];
static unsigned n_states;

/* Kept in a static so the live connection left at exit stays reachable. */
static mok_fxt_conn_t* left_running;

static void on_packet(mok_fxt_packet_t* packet) { (void)packet; }

static void on_state(uint32_t state) {
  pthread_mutex_lock(&lock);
  if (n_states < 64) states[n_states++] = state;
  pthread_mutex_unlock(&lock);
}

static unsigned state_count(void) {
  unsigned n;
  pthread_mutex_lock(&lock);
  n = n_states;
  pthread_mutex_unlock(&lock);
  return n;
}

/* Waits up to about five seconds for `n` states. */
static int wait_states(unsigned n) {
  struct timespec tick = {0, 10 * 1000 * 1000};
  int i;
  for (i = 0; i < 500; ++i) {
    if (state_count() >= n) return 1;
    nanosleep(&tick, NULL);
  }
  return 0;
}

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                          \
    }                                                                    \
  } while (0)

int main(void) {
  mok_fxt_conn_t* conn;
  mok_fxt_packet_t* packet;

  CHECK(mok_fxt_conn_new(NULL, on_packet, on_state) == NULL);
  CHECK(mok_fxt_conn_new("127.0.0.1:1", NULL, on_state) == NULL);
  CHECK(mok_fxt_conn_new("127.0.0.1:1", on_packet, NULL) == NULL);
  CHECK(mok_fxt_conn_new("not an address", on_packet, on_state) == NULL);
  CHECK(!mok_fxt_conn_start(NULL));
  CHECK(!mok_fxt_conn_stop(NULL));
  CHECK(!mok_fxt_conn_shutdown(NULL));
  CHECK(!mok_fxt_conn_send_packet(NULL, NULL));
  mok_fxt_conn_set_auto_reconnect(NULL, true);
  mok_fxt_conn_free(NULL);
  mok_fxt_disconnect(NULL);

  /* Port 1 on loopback: nothing listens, the attempt is refused. */
  conn = mok_fxt_conn_new("127.0.0.1:1", on_packet, on_state);
  CHECK(conn != NULL);
  packet = mok_fxt_packet_new(4, 0, 0, 0);
  CHECK(packet != NULL);
  CHECK(!mok_fxt_conn_send_packet(conn, packet));
  CHECK(mok_fxt_packet_set_seq(packet, 1)); /* still the host's alone */
  mok_fxt_packet_free(packet);
  CHECK(state_count() == 0);
  mok_fxt_conn_set_auto_reconnect(conn, false);
  CHECK(mok_fxt_conn_start(conn));
  CHECK(wait_states(1));
  CHECK(states[0] == MOK_FXT_STATE_CONNECT_FAILED);
  mok_fxt_disconnect(conn);
  CHECK(wait_states(4));
  CHECK(states[1] == MOK_FXT_STATE_SHUTTING_DOWN);
  CHECK(states[2] == MOK_FXT_STATE_DISCONNECTED);
  CHECK(states[3] == MOK_FXT_STATE_TERMINATED);

  /* Returning from main while this one keeps retrying must neither hang nor
   * crash the process. */
  left_running = mok_fxt_connect("127.0.0.1:1", on_packet, on_state);
  CHECK(left_running != NULL);
  CHECK(wait_states(5));
  return 0;
}
