// Tracker settings: defaults and range checks.
#include "track/config.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace mok::track {
namespace {

// The first published layout ends with clock_resync_ns.
constexpr std::size_t kFirstVersionSize = offsetof(mok_tracker_config_t, clock_resync_ns) + sizeof(std::int64_t);
constexpr std::int64_t kMs = 1'000'000;

bool range_ok(double lo, double hi) { return !std::isnan(lo) && !std::isnan(hi) && lo <= hi; }
bool positive(double v) { return std::isfinite(v) && v > 0; }

}  // namespace

mok_tracker_config_t default_config() {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  mok_tracker_config_t c{};
  c.size = sizeof c;
  c.pose_capacity = 4096;
  c.pose_max_age_ns = 2000 * kMs;
  c.extrapolation_limit_ns = 5 * kMs;
  c.pose_timeout_ns = 100 * kMs;
  c.future_tolerance_ns = 20 * kMs;
  c.poses_carry_robot_clock = 1;
  c.require_seam_found = 1;
  c.width_min = c.height_min = c.angle_min = -kInf;
  c.width_max = c.height_max = c.angle_max = kInf;
  c.outlier_window = 15;
  c.pending_capacity = 4096;
  c.outlier_k = 3.0;
  c.outlier_min_mm = 0.2;
  c.smoothing_window_mm = 1.0;
  c.path_resolution_mm = 0.1;
  c.path_memory_mm = 2000.0;
  c.direction_window_mm = 2.0;
  c.pending_max_wait_ns = 500 * kMs;
  c.clock_window_ns = 10'000 * kMs;
  c.clock_resync_ns = 1000 * kMs;
  return c;
}

bool merge_config(const mok_tracker_config_t& config, mok_tracker_config_t& out) {
  if (config.size < kFirstVersionSize) return false;
  out = default_config();
  std::memcpy(static_cast<void*>(&out), &config, std::min<std::size_t>(config.size, sizeof out));
  out.size = sizeof out;
  const mok_tracker_config_t& c = out;
  const bool durations = c.pose_max_age_ns > 0 && c.extrapolation_limit_ns >= 0 && c.pose_timeout_ns > 0 &&
                         c.future_tolerance_ns >= 0 && c.robot_latency_ns >= 0 && c.device_latency_ns >= 0 &&
                         c.pending_max_wait_ns >= 0 && c.clock_window_ns > 0 && c.clock_resync_ns > 0;
  const bool gates = range_ok(c.width_min, c.width_max) && range_ok(c.height_min, c.height_max) &&
                     range_ok(c.angle_min, c.angle_max);
  const bool path = positive(c.smoothing_window_mm) && positive(c.path_resolution_mm) &&
                    positive(c.path_memory_mm) && positive(c.direction_window_mm) &&
                    c.path_memory_mm / c.path_resolution_mm <= 1e7;
  const bool filter = positive(c.outlier_k) && std::isfinite(c.outlier_min_mm) && c.outlier_min_mm >= 0 &&
                      c.outlier_window <= 1000;
  return durations && gates && path && filter && c.pose_capacity > 0 && c.pending_capacity > 0;
}

}  // namespace mok::track
