/* Compiles every public header as C99 and checks the log extension links. */
#include <stdio.h>

#include "mok/mok_log.h"
#include "mok/mok_track.h"

static int calls;

static void on_log(int32_t level, const char* target, const char* message, void* user) {
  (void)level;
  (void)target;
  (void)message;
  (void)user;
  calls++;
}

int main(void) {
  mok_log_set_callback(on_log, MOK_LOG_TRACE, NULL);
  mok_log_set_callback(NULL, MOK_LOG_WARN, NULL);
  if (calls != 0) {
    fprintf(stderr, "unexpected log record\n");
    return 1;
  }
  return 0;
}
