/* The device interface from plain C99: version, layouts, and the neutral
 * results of null handles and rejected addresses. Needs no camera. */
#include <stdio.h>
#include <string.h>

#include "check.h"
#include "mok/mok.h"

static void on_scan(mok_scan_result_t* result, void* user) {
  (void)user;
  mok_scan_result_free(result);
}
static void on_state(uint32_t state, void* user) {
  (void)state;
  (void)user;
}
static void on_video(mok_video_frame_t* frame, void* user) {
  (void)user;
  mok_video_frame_free(frame);
}

int main(void) {
  uint32_t u32 = 11;
  uint64_t u64 = 12;
  int32_t i32 = 13;
  mok_scan_point_t point;
  mok_video_frame_info_t info;
  mok_client_t* client;

  CHECK(mok_version_code() == MOK_VERSION_CODE);
  CHECK(strcmp(mok_version_str(), MOK_VERSION_STRING) == 0);
  CHECK(MOK_MAKE_VERSION(1, 2, 3) == 0x01020003u);
  CHECK(sizeof(mok_scan_point_t) == 16);
  CHECK(sizeof(mok_seam_info_t) == 96);
  CHECK(sizeof(mok_segment_t) == 64);
  CHECK(sizeof(mok_video_frame_info_t) == 128);

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

  memset(&info, 0x5A, sizeof info);
  CHECK(mok_enable_video(NULL) == MOK_ERR_INVALID_ARGUMENT);
  CHECK(mok_disable_video(NULL) == MOK_ERR_INVALID_ARGUMENT);
  mok_set_video_cb(NULL, on_video, NULL);
  mok_clear_video_cb(NULL);
  CHECK(mok_video_frame_data(NULL, 0) == NULL);
  CHECK(mok_video_frame_linesize(NULL, 0) == 0);
  CHECK(mok_video_frame_format(NULL) == -1);
  CHECK(mok_video_frame_width(NULL) == 0 && mok_video_frame_height(NULL) == 0);
  CHECK(mok_video_frame_pts(NULL) == 0);
  CHECK(mok_video_frame_get_info(NULL, &info) == MOK_ERR_INVALID_ARGUMENT);
  CHECK(info.format == 0x5A5A5A5A);
  mok_video_frame_free(NULL);

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
    mok_set_video_cb(client, on_video, NULL);
    CHECK(mok_disable_video(client) == MOK_OK); /* video was never on */
    mok_set_video_cb(client, NULL, NULL);
    mok_clear_scan_cb(client);
    mok_set_state_cb(client, NULL, NULL);
    mok_close(client);
  }

  if (failures == 0) printf("device C interface: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
