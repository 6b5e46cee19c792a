/* The device interface from plain C99: version, layouts, and the neutral
 * results of null handles and rejected addresses. Needs no camera. */
#include <stdio.h>
#include <string.h>

#include "mok/mok.h"

static int failures = 0;
#define CHECK(cond)                                                  \
  do {                                                               \
    if (!(cond)) {                                                   \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

static void on_scan(mok_scan_result_t *result, void *user) {
  (void)user;
  mok_scan_result_free(result);
}
static void on_state(uint32_t state, void *user) {
  (void)state;
  (void)user;
}

int main(void) {
  uint32_t u32 = 11;
  uint64_t u64 = 12;
  int32_t i32 = 13;
  mok_scan_point_t point;
  mok_client_t *client;

  CHECK(mok_version_code() == 16973826u);
  CHECK(strcmp(mok_version_str(), "1.3.2") == 0);
  CHECK(sizeof(mok_scan_point_t) == 16);
  CHECK(sizeof(mok_seam_info_t) == 96);
  CHECK(sizeof(mok_segment_t) == 64);

  CHECK(mok_connect(NULL) == NULL);
  CHECK(mok_connect("") == NULL);
  CHECK(mok_connect("cam:99999") == NULL);
  CHECK(mok_connect("\xff\xfe") == NULL);
  mok_close(NULL);

  CHECK(mok_start(NULL) == MOK_ERR_INVALID_ARGUMENT);
  CHECK(mok_get_exposure_time(NULL, &u32) == MOK_ERR_INVALID_ARGUMENT);
  CHECK(mok_get_rts(NULL, &u64) == MOK_ERR_INVALID_ARGUMENT);
  CHECK(mok_get_laser_enable(NULL, &i32) == MOK_ERR_INVALID_ARGUMENT);
  CHECK(mok_get_board_id(NULL, NULL, &u32) == MOK_ERR_INVALID_ARGUMENT);
  CHECK(mok_pull_rts(NULL, -1, &u64) == MOK_ERR_INVALID_ARGUMENT);
  CHECK(mok_get_scan_result(NULL) == NULL);
  CHECK(mok_recv_snapshot_image(NULL, 0) == NULL);
  CHECK(mok_scan_result_points(NULL) == NULL);
  CHECK(mok_scan_result_seam_point(NULL, &point) == MOK_ERR_INVALID_ARGUMENT);
  CHECK(mok_snapshot_image_format(NULL) == -1);
  CHECK(mok_snapshot_image_data_size(NULL) == 0);
  CHECK(u32 == 11 && u64 == 12 && i32 == 13);
  mok_set_scan_cb(NULL, on_scan, NULL);
  mok_set_state_cb(NULL, on_state, NULL);
  mok_scan_result_free(NULL);
  mok_snapshot_image_free(NULL);

  /* A client that is never started: nothing to read, nothing can be sent. */
  client = mok_connect("127.0.0.1");
  CHECK(client != NULL);
  if (client != NULL) {
    mok_set_scan_cb(client, on_scan, NULL);
    mok_set_state_cb(client, on_state, NULL);
    CHECK(mok_get_task_id(client, &u32) == MOK_ERR_NOT_AVAILABLE);
    CHECK(mok_set_task_id(client, 1) == MOK_ERR_SEND_FAILED);
    CHECK(mok_wait_params(client, 0) == MOK_ERR_TIMEOUT);
    CHECK(mok_get_scan_result(client) == NULL);
    mok_clear_scan_cb(client);
    mok_set_state_cb(client, NULL, NULL);
    mok_close(client);
  }

  if (failures == 0) printf("device C interface: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
