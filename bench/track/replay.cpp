// The replay feeds each pose as soon as it is true, so every result is mapped
// inside its own push and the timing holds the whole per-result work:
// clock mapping, pose interpolation, gating, outlier filter and path update.
#include "replay.hpp"

#include <algorithm>
#include <chrono>
#include <vector>

#include "cell_run.hpp"
#include "sim/cell/cell.hpp"
#include "sim/cell/pose_stream.hpp"

namespace celltrack {
namespace {

using Clock = std::chrono::steady_clock;

double percentile_us(std::vector<double>& ns, double p) {
  if (ns.empty()) return 0;
  const auto k = static_cast<std::size_t>(p * static_cast<double>(ns.size() - 1));
  std::nth_element(ns.begin(), ns.begin() + static_cast<std::ptrdiff_t>(k), ns.end());
  return ns[k] / 1000;
}

template <class F>
double timed_ns(F&& f) {
  const auto a = Clock::now();
  f();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - a).count());
}

}  // namespace

Timing replay_timing(const camsim::cell::Scenario& scenario, double rate, double seconds) {
  const camsim::cell::Cell cell(scenario);
  const auto n = static_cast<std::size_t>(rate * seconds);
  std::vector<camsim::cell::CellProfile> reports;
  reports.reserve(n);
  for (std::size_t i = 0; i < n; ++i) reports.push_back(cell.scan(i, static_cast<double>(i) / rate, false));
  std::vector<camsim::cell::PoseEmission> poses;
  camsim::cell::PoseSchedule schedule(cell);
  while (auto e = schedule.next()) poses.push_back(*e);

  mok_tracker_config_t config = tracker_config(scenario);
  mok_tracker_t* t = mok_tracker_create(&config);
  const mok_pose_t mount = to_pose(scenario.X_tool_sensor());
  mok_tracker_set_mount(t, &mount);
  constexpr std::int64_t kBase = 1'000'000'000'000;  // the replay's own host time line
  const auto host_ns = [](double s) { return kBase + static_cast<std::int64_t>(s * 1e9); };

  std::vector<double> result_ns, pose_ns, query_ns;
  result_ns.reserve(n);
  query_ns.reserve(n);
  std::size_t next_pose = 0;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < n; ++i) {
    const camsim::cell::CellProfile& r = reports[i];
    while (next_pose < poses.size() && poses[next_pose].t_true_s <= r.t_s + 0.004) {
      const auto& e = poses[next_pose++];
      const mok_pose_t p = to_pose(e.pose.X_base_tool);
      pose_ns.push_back(timed_ns([&] { mok_tracker_push_pose(t, &p, e.pose.t_robot_us, host_ns(e.t_send_s)); }));
    }
    while (Clock::now() < start + std::chrono::duration<double>(r.t_s)) {
    }
    const std::int64_t rx = host_ns(r.t_s + 0.0002);
    result_ns.push_back(timed_ns([&] {
      mok_tracker_push_seam(t, r.t_device_us, rx, r.seam_found, r.seam_y_mm, r.seam_z_mm, r.width_mm, r.height_mm,
                            r.angle_deg);
    }));
    mok_correction_t c;
    query_ns.push_back(timed_ns([&] { mok_tracker_correction(t, nullptr, rx, &c); }));
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  mok_tracker_free(t);
  Timing out;
  out.results = n;
  out.achieved_rate = static_cast<double>(n) / elapsed;
  out.result_p50_us = percentile_us(result_ns, 0.5);
  out.result_p99_us = percentile_us(result_ns, 0.99);
  out.pose_p50_us = percentile_us(pose_ns, 0.5);
  out.pose_p99_us = percentile_us(pose_ns, 0.99);
  out.query_p50_us = percentile_us(query_ns, 0.5);
  out.query_p99_us = percentile_us(query_ns, 0.99);
  return out;
}

}  // namespace celltrack
