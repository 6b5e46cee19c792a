// The tracker on a short robot-cell run in real time: the torch's correction
// stays near the truth, and each status shows where the run makes it true
// (not yet scanned at the start, gap over the gap, stale once poses stop).
#include <gtest/gtest.h>

#include "cell_run.hpp"
#include "figures.hpp"
#include "support/sanitized.hpp"

namespace celltrack {
namespace {

TEST(TrackEndToEnd, ShortRunFollowsTheSeamWithEveryStatusWhereItBelongs) {
#ifdef MOK_TEST_SANITIZED
  GTEST_SKIP() << "real-time cell run: not in sanitized builds";
#endif
  RunOptions options;
  options.scenario = camsim::cell::short_scenario();
  const auto run = run_cell(options);
  ASSERT_TRUE(run) << run.error();
  const camsim::cell::Cell cell(options.scenario);
  const camsim::cell::WorkpieceParams& w = options.scenario.workpiece;
  const double look_ahead = options.scenario.look_ahead_mm();
  const mok_tracker_stats_t& st = run->stats;
  SCOPED_TRACE(testing::Message() << "results " << run->results << " used " << st.results_used << " stale "
                                  << st.results_stale << " outliers " << st.results_outliers << ", poses "
                                  << st.poses_accepted << " refused "
                                  << st.poses_bad + st.poses_future + st.poses_past + st.poses_duplicate
                                  << ", robot clock " << st.robot_drift_ppm << " ppm resyncs "
                                  << st.robot_clock_resyncs << ", camera clock " << st.device_drift_ppm
                                  << " ppm resyncs " << st.device_clock_resyncs);

  int not_yet = 0, in_gap = 0, ok = 0;
  for (const Query& q : run->queries) {
    const double x = cell.motion().at(q.t_pose_s).X_base_tool.translation().x();
    const int32_t s = q.ours.status;
    if (x < look_ahead - 5) {
      EXPECT_NE(s, MOK_TRACK_OK) << "torch at " << x << " mm, before anything was scanned";
      not_yet += s == MOK_TRACK_NOT_YET_SCANNED;
    }
    if (x > w.gap_begin_mm + 2 && x < w.gap_end_mm - 2) {
      EXPECT_EQ(s, MOK_TRACK_GAP) << "torch at " << x << " mm";
      ++in_gap;
    }
    ok += s == MOK_TRACK_OK;
  }
  EXPECT_GT(not_yet, 10);
  EXPECT_GT(in_gap, 5);
  EXPECT_GT(ok, 50);
  EXPECT_EQ(run->status_after_poses_stopped, MOK_TRACK_STALE_POSE);

  // Generous bounds: a tenth of a millimetre is the benchmark's business.
  const Errors e = compute_errors(cell, *run);
  const Summary correction = summarize(e.ours, &w), seam = summarize(e.seam, &w);
  EXPECT_GT(correction.n, 50u);
  EXPECT_LT(correction.rms, 0.5);
  EXPECT_LT(correction.max, 1.5);
  EXPECT_LT(seam.rms, 0.5);
  EXPECT_GT(run->stats.results_used, 200u);
}

}  // namespace
}  // namespace celltrack
