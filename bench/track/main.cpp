// mok-bench-track: the tracking figures on the simulated robot cell, through
// real sockets (simulator -> TCP -> libmok -> tracker; robot -> UDP ->
// tracker), with the two usual shortcuts measured in the same run, then the
// tracker's processing time per result at 10,000 results/s. Prints figures;
// asserts nothing. The last line is the summary scripts read.
#include <cstdio>
#include <cstring>
#include <string>

#include "cell_run.hpp"
#include "figures.hpp"
#include "replay.hpp"

namespace {

using namespace celltrack;

void row(const char* name, const Summary& all, const Summary& away) {
  std::printf("  %-26s %8.3f %8.3f    %8.3f %8.3f   %7zu\n", name, all.rms, all.max, away.rms, away.max, away.n);
}

void step_row(const char* name, const StepFigures& f) {
  std::printf("  %-26s max %6.3f mm, above 0.1 mm from %5.2f mm before to %5.2f mm after\n", name, f.max_mm,
              f.before_mm, f.after_mm);
}

const char* status_name(int s) {
  switch (s) {
    case MOK_TRACK_OK:
      return "ok";
    case MOK_TRACK_NOT_YET_SCANNED:
      return "not yet scanned";
    case MOK_TRACK_GAP:
      return "gap";
    case MOK_TRACK_STALE_POSE:
      return "stale pose";
    case MOK_TRACK_NO_POSE:
      return "no pose";
    case MOK_TRACK_WAITING:
      return "waiting";
    case MOK_TRACK_NO_CLOCK:
      return "no clock";
    default:
      return "?";
  }
}

}  // namespace

int main(int argc, char** argv) {
  RunOptions opt;
  opt.scenario = camsim::cell::standard_scenario();
  std::string svg;
  double replay_rate = 10000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--svg" && more) {
      svg = argv[++i];
    } else if (a == "--pose-log" && more) {
      opt.pose_log = argv[++i];
    } else if (a == "--scenario" && more) {
      auto s = camsim::cell::scenario_by_name(argv[++i]);
      if (!s) {
        std::fprintf(stderr, "unknown scenario %s (standard, short)\n", argv[i]);
        return 2;
      }
      opt.scenario = *s;
    } else {
      std::fprintf(stderr, "usage: mok-bench-track [--scenario standard|short] [--svg FILE] [--pose-log FILE]\n");
      return 2;
    }
  }
  const camsim::cell::Scenario& sc = opt.scenario;
  const camsim::cell::WorkpieceParams& w = sc.workpiece;
  std::printf(
      "# tracking on the %s cell: look-ahead %.1f mm, σ %.2f mm, spatter %.0f %%, poses %.0f Hz with %.0f ± %.0f "
      "ms "
      "(fixed part %.0f ms configured), robot clock %+.0f ppm, camera clock %+.0f ppm\n",
      sc.name.c_str(), sc.look_ahead_mm(), sc.camera.noise_mm, sc.camera.spatter * 100, sc.poses.rate_hz,
      sc.poses.latency_ms, sc.poses.jitter_ms, sc.pose_fixed_latency_ms(), sc.robot_clock.drift_ppm,
      sc.device_clock.drift_ppm);
  std::fflush(stdout);
  auto run = run_cell(opt);
  if (!run) {
    std::fprintf(stderr, "mok-bench-track: %s\n", run.error().c_str());
    return 1;
  }
  const camsim::cell::Cell cell(sc);
  const Errors e = compute_errors(cell, *run);
  std::printf("# %llu results, %llu poses received; errors in mm against the cell's ground truth\n",
              static_cast<unsigned long long>(run->results), static_cast<unsigned long long>(run->poses));
  std::printf("  %-26s %8s %8s    %8s %8s   %7s\n", "", "rms", "max", "rms", "max", "samples");
  std::printf("  %-26s %17s    %17s\n", "", "whole run", "away from disc.");
  const auto both = [&](const char* name, const std::vector<ErrorSample>& s) {
    row(name, summarize(s), summarize(s, &w));
  };
  both("seam path: tracker", e.seam);
  both("seam path: latest pose", e.latest_seam);
  both("correction: tracker", e.ours);
  both("correction: latest pose", e.latest);
  both("correction: fixed delay", e.fixed);
  std::printf("# at the height step (x = %.0f mm)\n", w.step_x_mm);
  step_row("seam path: tracker", at_step(e.seam, w.step_x_mm));
  step_row("seam path: latest pose", at_step(e.latest_seam, w.step_x_mm));
  step_row("correction: tracker", at_step(e.ours, w.step_x_mm));
  step_row("correction: latest pose", at_step(e.latest, w.step_x_mm));
  step_row("correction: fixed delay", at_step(e.fixed, w.step_x_mm));

  int counts[8] = {};
  for (const Query& q : run->queries)
    if (q.ours.status >= 0 && q.ours.status < 8) ++counts[q.ours.status];
  std::printf("# correction statuses over the run:");
  for (int s = 0; s < 8; ++s)
    if (counts[s]) std::printf(" %s %d,", status_name(s), counts[s]);
  std::printf(" after the poses stopped: %s\n", status_name(run->status_after_poses_stopped));
  const mok_tracker_stats_t& st = run->stats;
  std::printf(
      "# tracker: results used %llu, not found %llu, gated %llu, outliers %llu, stale %llu; poses accepted %llu; "
      "robot clock %+.1f ppm, camera clock %+.1f ppm\n",
      static_cast<unsigned long long>(st.results_used), static_cast<unsigned long long>(st.results_not_found),
      static_cast<unsigned long long>(st.results_gated), static_cast<unsigned long long>(st.results_outliers),
      static_cast<unsigned long long>(st.results_stale), static_cast<unsigned long long>(st.poses_accepted),
      st.robot_drift_ppm, st.device_drift_ppm);
  if (!svg.empty()) {
    if (write_svg(svg, e, w))
      std::printf("# plot: %s\n", svg.c_str());
    else
      std::fprintf(stderr, "mok-bench-track: cannot write %s\n", svg.c_str());
  }

  const Timing t = replay_timing(sc, replay_rate, 2.5);
  std::printf(
      "# processing time at %.0f results/s (in-process replay, %zu results, busy shared machine): per result "
      "p50 %.2f us, p99 %.2f us; per pose p50 %.2f us, p99 %.2f us; per correction query p50 %.2f us, "
      "p99 %.2f us\n",
      t.achieved_rate, t.results, t.result_p50_us, t.result_p99_us, t.pose_p50_us, t.pose_p99_us, t.query_p50_us,
      t.query_p99_us);

  const Summary seam = summarize(e.seam, &w), ours = summarize(e.ours, &w), fixed = summarize(e.fixed, &w),
                latest = summarize(e.latest, &w);
  std::printf(
      "# targets away from discontinuities: seam rms < 0.1 %s, seam max < 0.3 %s, correction rms < 0.2 %s, "
      "10x below fixed delay %s, below latest pose %s, p99 < 50 us %s\n",
      seam.rms < 0.1 ? "met" : "MISSED", seam.max < 0.3 ? "met" : "MISSED", ours.rms < 0.2 ? "met" : "MISSED",
      ours.rms * 10 <= fixed.rms ? "met" : "MISSED",
      ours.rms < latest.rms && ours.max < latest.max ? "met" : "MISSED", t.result_p99_us < 50 ? "met" : "MISSED");
  std::printf(
      "tracking: seam_rms_mm=%.4f seam_max_mm=%.4f correction_rms_mm=%.4f correction_max_mm=%.4f "
      "fixed_delay_rms_mm=%.4f latest_pose_rms_mm=%.4f latest_pose_max_mm=%.4f p99_us=%.2f\n",
      seam.rms, seam.max, ours.rms, ours.max, fixed.rms, latest.rms, latest.max, t.result_p99_us);
  return 0;
}
