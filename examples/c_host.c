/* Minimal C host: connect to a camera, follow its state and scan results,
 * read and write a parameter, take a snapshot. Every call's status is
 * checked, and a failure is reported with its real cause: the connection
 * state and the library's last failure text. Usage: c_host ADDRESS */
#include <mok/mok.h>
#include <stdio.h>
#include <time.h>

static void on_state(uint32_t state, void* user_data) {
  (void)user_data;
  printf("state %u\n", (unsigned)state);
}

static void on_scan(mok_scan_result_t* result, void* user_data) {
  unsigned* count = user_data;
  mok_scan_point_t seam;
  if (++*count % 100 == 1 && mok_scan_result_seam_point(result, &seam) == MOK_OK)
    printf("result %u: %u points, seam at y %.2f z %.2f\n", *count, (unsigned)mok_scan_result_point_count(result),
           seam.y, seam.z);
  mok_scan_result_free(result); /* every result handle belongs to us */
}

/* Says what went wrong: "could not ...: <why> (<library's last failure>)". */
static void report(mok_client_t* cam, const char* what, int32_t status) {
  mok_stats_t stats;
  char text[256];
  uint32_t len = sizeof text;
  const char* why = "the camera did not answer in time";
  if (status != MOK_ERR_TIMEOUT) why = "the library refused the call";
  if (mok_get_stats(cam, &stats, sizeof stats) == MOK_OK && stats.state != MOK_STATE_CONNECTED) {
    why = stats.connections_established > 0 ? "the connection was lost" : "the camera could not be reached";
  }
  fprintf(stderr, "could not %s: %s (status %d", what, why, (int)status);
  if (mok_get_last_error(cam, text, &len) == MOK_OK) fprintf(stderr, ", last failure: %s", text);
  fprintf(stderr, ")\n");
}

int main(int argc, char** argv) {
  unsigned count = 0;
  uint32_t exposure = 0;
  char board[64];
  uint32_t len = sizeof board;
  mok_snapshot_image_t* image;
  struct timespec second = {1, 0};
  int32_t status;
  int rc = 1;

  if (argc < 2) {
    fprintf(stderr, "usage: %s ADDRESS\n", argv[0]);
    return 2;
  }
  mok_client_t* cam = mok_connect(argv[1]);
  if (!cam) {
    fprintf(stderr, "address refused: %s\n", argv[1]);
    return 2;
  }
  mok_set_state_cb(cam, on_state, NULL);
  mok_set_scan_cb(cam, on_scan, &count);
  if ((status = mok_start(cam)) != MOK_OK) {
    report(cam, "start the connection", status);
    goto out;
  }
  /* Up to 5 s for the first parameters, giving up early when the attempt
   * already failed: the client would retry every 5 s, but this host has
   * nothing to wait for. */
  for (int tries = 0; tries < 50; ++tries) {
    mok_stats_t stats;
    status = mok_wait_params(cam, 100);
    if (status != MOK_ERR_TIMEOUT) break;
    if (mok_get_stats(cam, &stats, sizeof stats) == MOK_OK &&
        (stats.state == MOK_STATE_CONNECT_FAILED || stats.state == MOK_STATE_CONNECT_TIMEOUT))
      break;
  }
  if (status != MOK_OK) {
    report(cam, "read the camera's parameters", status);
    goto out;
  }
  if ((status = mok_get_board_id(cam, board, &len)) == MOK_OK) {
    printf("board id %s\n", board);
  } else {
    report(cam, "read the board id", status);
  }
  if ((status = mok_get_exposure_time(cam, &exposure)) == MOK_OK) {
    printf("exposure time %u\n", (unsigned)exposure);
  } else {
    report(cam, "read the exposure time", status);
  }
  if ((status = mok_set_laser_enable(cam, 1)) != MOK_OK) {
    report(cam, "switch the laser on", status);
    goto out;
  }
  nanosleep(&second, NULL);
  mok_clear_scan_cb(cam); /* waits for a running call, so `count` is ours again */
  printf("%u scan results in about a second\n", count);

  if ((status = mok_snapshot(cam, MOK_IMAGE_JPEG, 0, 0)) != MOK_OK) {
    report(cam, "request a snapshot", status);
    goto out;
  }
  image = mok_recv_snapshot_image(cam, 5000);
  if (!image) {
    report(cam, "receive a snapshot", MOK_ERR_TIMEOUT);
    goto out;
  }
  printf("snapshot: format %d, %zu bytes\n", (int)mok_snapshot_image_format(image),
         mok_snapshot_image_data_size(image));
  mok_snapshot_image_free(image);
  rc = count > 0 ? 0 : 1;
out:
  /* Clear the callbacks first: mok_close does not, and `count` lives on our stack. */
  mok_clear_scan_cb(cam);
  mok_clear_state_cb(cam);
  mok_close(cam);
  return rc;
}
