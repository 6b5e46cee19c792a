/* The tracking family from plain C99: settings and their refusals, the
 * mounting text's error message, poses by datagram, a seam scanned ahead of
 * a moving tool, and the statuses and counters a host reads. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "check.h"
#include "mok/mok_track.h"

#define MS 1000000LL

int main(void) {
  static const char bad_mount[] = "{\n\"format\": \"mok-mount/1\",\n\"X_tool_sensor\": {\n}}";
  mok_tracker_config_t config;
  mok_tracker_t* tracker;
  mok_pose_t mount;
  mok_pose_datagram_t d;
  mok_correction_t c;
  mok_tracker_stats_t st;
  uint8_t bytes[MOK_POSE_DATAGRAM_SIZE];
  char err[64];
  long long t;

  mok_tracker_config_init(&config);
  config.width_min = 2;
  config.width_max = 1;
  CHECK(mok_tracker_create(&config) == NULL);
  mok_tracker_config_init(&config);
  config.poses_carry_robot_clock = 0;
  tracker = mok_tracker_create(&config);
  CHECK(tracker != NULL);

  CHECK(mok_track_mount_parse(bad_mount, strlen(bad_mount), &mount, err, sizeof err) == MOK_ERR_OTHER);
  CHECK(strncmp(err, "3: missing \"translation_mm\"", 27) == 0);
  CHECK(mok_tracker_correction(tracker, NULL, 0, &c) == MOK_TRACK_NO_POSE);

  /* The sensor 40 mm ahead of the tool, 100 mm above the seam (tool axes
   * as base axes); the tool moves along x at 100 mm/s, the seam 1.5 mm to
   * the side. One result a millisecond, one pose every 4. */
  memset(&mount, 0, sizeof mount);
  mount.x_mm = 40;
  mount.qw = 1;
  CHECK(mok_tracker_set_mount(tracker, &mount) == MOK_OK);
  CHECK(mok_track_mount_save("/nonexistent/m.json", &mount, "[1]", err, sizeof err) == MOK_ERR_INVALID_ARGUMENT);
  CHECK(mok_track_mount_save("/nonexistent/m.json", &mount, NULL, err, sizeof err) == MOK_ERR_OTHER);
  memset(&d, 0, sizeof d);
  d.X_base_tool.qw = 1;
  for (t = 0; t <= 1000 * MS; t += MS) {
    if (t % (4 * MS) == 0) {
      d.X_base_tool.x_mm = (double)t / (10 * MS);
      CHECK(mok_track_encode_pose_datagram(&d, bytes) == MOK_OK);
      CHECK(mok_tracker_push_pose_datagram(tracker, bytes, sizeof bytes, t, NULL) == MOK_OK);
    }
    CHECK(mok_tracker_push_seam(tracker, (uint64_t)(t / 1000), t, 1, 1.5, 100, 1, 1, 0) == MOK_OK);
  }
  CHECK(mok_tracker_push_pose_datagram(tracker, bytes, sizeof bytes - 1, t, NULL) == MOK_TRACK_ERR_BAD_DATAGRAM);

  CHECK(mok_tracker_correction(tracker, NULL, 1000 * MS, &c) == MOK_TRACK_OK);
  CHECK(fabs(c.torch_distance_mm - 100) < 1e-6);
  CHECK(fabs(c.lateral_mm - 1.5) < 0.01 && fabs(c.vertical_mm - 100) < 0.01);
  CHECK(mok_tracker_correction(tracker, NULL, 2000 * MS, &c) == MOK_TRACK_STALE_POSE);
  CHECK(c.status == MOK_TRACK_STALE_POSE);

  CHECK(mok_tracker_get_stats(tracker, &st, sizeof st) == MOK_OK);
  CHECK(st.size == sizeof st);
  CHECK(st.results_used == 1001 && st.poses_accepted == 251 && st.datagrams_refused == 1);
  CHECK(st.queries == 3 && st.queries_stale == 1 && st.queries_no_pose == 1);
  mok_tracker_free(tracker);
  mok_tracker_free(NULL);
  return failures == 0 ? 0 : 1;
}
