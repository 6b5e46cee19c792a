// The tracker's flow: results wait until poses cover their time, then their
// seam points are mapped into the base frame and filed by path distance;
// queries read the path at the torch's own distance.
#include "track/tracker.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace mok::track {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::int32_t status_of(Lookup l) {
  switch (l) {
    case Lookup::Ok:
      return MOK_TRACK_OK;
    case Lookup::Stale:
      return MOK_TRACK_STALE_POSE;
    case Lookup::Waiting:
      return MOK_TRACK_WAITING;
    case Lookup::NoPose:
      break;
  }
  return MOK_TRACK_NO_POSE;
}

std::int32_t status_of(SeamStatus s) {
  switch (s) {
    case SeamStatus::Ok:
      return MOK_TRACK_OK;
    case SeamStatus::Gap:
      return MOK_TRACK_GAP;
    case SeamStatus::NotYetScanned:
      break;
  }
  return MOK_TRACK_NOT_YET_SCANNED;
}

void copy3(const Eigen::Vector3d& v, double* out) {
  out[0] = v.x();
  out[1] = v.y();
  out[2] = v.z();
}

bool within(double v, double lo, double hi) { return v >= lo && v <= hi; }

}  // namespace

Tracker::Tracker(const mok_tracker_config_t& c)
    : config_(c),
      device_clock_({c.clock_window_ns, c.clock_resync_ns}),
      robot_clock_({c.clock_window_ns, c.clock_resync_ns}),
      poses_({c.pose_capacity, c.pose_max_age_ns, c.extrapolation_limit_ns}),
      path_({c.path_resolution_mm, c.path_memory_mm, c.smoothing_window_mm}),
      outliers_({c.outlier_window, c.outlier_k, c.outlier_min_mm}) {
  stats_.size = sizeof stats_;
}

void Tracker::set_mount(const Pose& X_tool_sensor) {
  std::lock_guard lock(mutex_);
  X_tool_sensor_ = X_tool_sensor;
}

void Tracker::reset() {
  std::lock_guard lock(mutex_);
  device_clock_.clear();
  robot_clock_.clear();
  poses_.clear();
  path_.clear();
  outliers_.clear();
  pending_.clear();
  look_ahead_mm_.reset();
  newest_rx_ns_ = newest_pose_rx_ns_ = INT64_MIN;
  robot_far_in_row_ = 0;
}

Tracker::PoseTime Tracker::pose_time(std::int64_t t_robot_us, std::int64_t t_host_rx_ns) {
  if (!config_.poses_carry_robot_clock) return {MOK_OK, t_host_rx_ns - config_.robot_latency_ns};
  constexpr std::int64_t kLimitUs = std::numeric_limits<std::int64_t>::max() / 1000;
  if (t_robot_us > kLimitUs || t_robot_us < -kLimitUs) return {MOK_TRACK_ERR_BAD_POSE, 0};
  const std::int64_t stamp_ns = t_robot_us * 1000;
  if (robot_clock_.settled()) {
    // Far off the line: a pose from long ago or ahead, unless several in a
    // row say so, which is a clock that was set (the filter then starts
    // over). Moderately early: a pose claiming a time it cannot have had.
    const std::int64_t residual = robot_clock_.residual_ns(stamp_ns, t_host_rx_ns);
    const bool far = residual > config_.clock_resync_ns || residual < -config_.clock_resync_ns;
    robot_far_in_row_ = far ? robot_far_in_row_ + 1 : 0;
    if (far && robot_far_in_row_ < kFarInRowToResync) {
      return {residual < 0 ? MOK_TRACK_ERR_FUTURE : MOK_TRACK_ERR_PAST, 0};
    }
    if (!far && residual < -config_.future_tolerance_ns) return {MOK_TRACK_ERR_FUTURE, 0};
  }
  return {MOK_OK, robot_clock_.sample(stamp_ns, t_host_rx_ns) - config_.robot_latency_ns};
}

std::int32_t Tracker::push_pose(const mok_pose_t& X_base_tool, std::int64_t t_robot_us,
                                std::int64_t t_host_rx_ns) {
  std::lock_guard lock(mutex_);
  const auto pose = checked_pose(X_base_tool);
  if (!pose) {
    ++stats_.poses_bad;
    return MOK_TRACK_ERR_BAD_POSE;
  }
  const PoseTime t = pose_time(t_robot_us, t_host_rx_ns);
  switch (t.refusal) {
    case MOK_TRACK_ERR_BAD_POSE:
      ++stats_.poses_bad;
      return t.refusal;
    case MOK_TRACK_ERR_FUTURE:
      ++stats_.poses_future;
      return t.refusal;
    case MOK_TRACK_ERR_PAST:
      ++stats_.poses_past;
      return t.refusal;
    default:
      break;
  }
  switch (poses_.insert(t.t_ns, *pose)) {
    case Insert::Past:
      ++stats_.poses_past;
      return MOK_TRACK_ERR_PAST;
    case Insert::Duplicate:
      ++stats_.poses_duplicate;
      return MOK_TRACK_ERR_DUPLICATE;
    case Insert::Ok:
      break;
  }
  ++stats_.poses_accepted;
  newest_pose_rx_ns_ = std::max(newest_pose_rx_ns_, t_host_rx_ns);
  newest_rx_ns_ = std::max(newest_rx_ns_, t_host_rx_ns);
  drain();
  return MOK_OK;
}

void Tracker::count_bad_datagram() {
  std::lock_guard lock(mutex_);
  ++stats_.datagrams_refused;
}

bool Tracker::usable(const SeamInput& in) {
  if (config_.require_seam_found && !in.found) {
    ++stats_.results_not_found;
    return false;
  }
  if (!std::isfinite(in.y) || !std::isfinite(in.z) || !within(in.width, config_.width_min, config_.width_max) ||
      !within(in.height, config_.height_min, config_.height_max) ||
      !within(in.angle, config_.angle_min, config_.angle_max)) {
    ++stats_.results_gated;
    return false;
  }
  if (!outliers_.accept(in.y, in.z)) {
    ++stats_.results_outliers;
    return false;
  }
  return true;
}

void Tracker::push_seam(const SeamInput& in) {
  std::lock_guard lock(mutex_);
  ++stats_.results_pushed;
  const std::int64_t t_ns = device_clock_.map(in.t_device_us, in.t_host_rx_ns) - config_.device_latency_ns;
  pending_.push_back({t_ns, in.t_host_rx_ns, usable(in), in.y, in.z});
  if (pending_.size() > config_.pending_capacity) {
    // A result already counted as unused is not counted again.
    stats_.results_dropped += pending_.front().usable ? 1 : 0;
    pending_.pop_front();
  }
  newest_rx_ns_ = std::max(newest_rx_ns_, in.t_host_rx_ns);
  drain();
}

void Tracker::drain() {
  while (!pending_.empty()) {
    const Pending& r = pending_.front();
    const PoseAt at = poses_.at(r.t_ns);
    const bool waited_long = newest_rx_ns_ - r.rx_ns > config_.pending_max_wait_ns;
    // Past the newest pose the motion is only carried on, which errs when
    // the robot changes speed; the next pose is due within a cycle, so a
    // result waits for it and is extrapolated only once no more come.
    if (at.status == Lookup::Ok && (!at.extrapolated || waited_long)) {
      take(r, at.pose);
    } else if (at.status == Lookup::Stale || waited_long) {
      stats_.results_stale += r.usable ? 1 : 0;
    } else {
      return;  // the poses for it are still on their way
    }
    pending_.pop_front();
  }
}

void Tracker::take(const Pending& r, const TimedPose& at) {
  // The sensor looks ahead of the torch: a seam point belongs to the
  // distance the torch will have travelled when it gets there, the tool's
  // distance now plus the point's lead along the direction of travel.
  const Pose X_base_sensor = at.X_base_tool * X_tool_sensor_;
  const Eigen::Vector3d travel =
      poses_.direction(at.s, config_.direction_window_mm, X_base_sensor.q * Eigen::Vector3d::UnitX());
  if (r.usable) {
    const Eigen::Vector3d p_base = X_base_sensor.apply(Eigen::Vector3d(0.0, r.y, r.z));
    look_ahead_mm_ = (p_base - at.X_base_tool.p).dot(travel);
    path_.add(at.s + *look_ahead_mm_, p_base);
    ++stats_.results_used;
  } else {
    // No point to measure the lead by: the last one's, or the sensor's own.
    const double lead = look_ahead_mm_ ? *look_ahead_mm_ : (X_base_sensor.p - at.X_base_tool.p).dot(travel);
    path_.scanned(at.s + lead);
  }
}

std::int32_t Tracker::correction(const mok_pose_t* X_base_tool, std::int64_t t_host_ns, mok_correction_t& out) {
  std::optional<Pose> given;
  if (X_base_tool && !(given = checked_pose(*X_base_tool))) return MOK_TRACK_ERR_BAD_POSE;
  std::lock_guard lock(mutex_);
  ++stats_.queries;
  out = mok_correction_t{};
  out.torch_distance_mm = out.scanned_to_mm = out.lateral_mm = out.vertical_mm = kNaN;
  std::fill_n(out.seam_base_mm, 3, kNaN);
  std::fill_n(out.base_mm, 3, kNaN);
  std::fill_n(out.tool_mm, 3, kNaN);
  if (poses_.empty()) {
    ++stats_.queries_no_pose;
    return out.status = MOK_TRACK_NO_POSE;
  }
  const TimedPose& newest = poses_.newest();
  Pose torch = newest.X_base_tool;
  out.torch_distance_mm = newest.s;
  out.t_pose_ns = newest.t_ns;
  if (given) {
    // A pose near the newest: its distance is the newest's, moved on by
    // its offset along the travel.
    torch = *given;
    const Eigen::Vector3d travel =
        poses_.direction(newest.s, config_.direction_window_mm, newest.X_base_tool.q * Eigen::Vector3d::UnitX());
    out.torch_distance_mm = newest.s + (torch.p - newest.X_base_tool.p).dot(travel);
    out.t_pose_ns = t_host_ns;
  } else if (t_host_ns - newest_pose_rx_ns_ > config_.pose_timeout_ns) {
    ++stats_.queries_stale;
    return out.status = MOK_TRACK_STALE_POSE;
  }
  if (const auto last = path_.last()) out.scanned_to_mm = *last;
  const SeamAt seam = path_.at(out.torch_distance_mm);
  out.status = status_of(seam.status);
  if (seam.status != SeamStatus::Ok) return out.status;
  const Eigen::Vector3d base = seam.p_base - torch.p;
  const Eigen::Vector3d tool = torch.q.conjugate() * base;
  copy3(seam.p_base, out.seam_base_mm);
  copy3(base, out.base_mm);
  copy3(tool, out.tool_mm);
  out.lateral_mm = tool.y();
  out.vertical_mm = tool.z();
  return out.status;
}

std::int32_t Tracker::seam_at(double distance_mm, double* out_base) {
  std::lock_guard lock(mutex_);
  const SeamAt seam = path_.at(distance_mm);
  if (seam.status == SeamStatus::Ok) copy3(seam.p_base, out_base);
  return status_of(seam.status);
}

std::int32_t Tracker::path_range(double& first_mm, double& last_mm) {
  std::lock_guard lock(mutex_);
  const auto first = path_.first();
  const auto last = path_.last();
  if (!first || !last) return MOK_TRACK_NOT_YET_SCANNED;
  first_mm = *first;
  last_mm = *last;
  return MOK_TRACK_OK;
}

std::int32_t Tracker::pose_at(std::int64_t t_host_ns, mok_pose_t& out) {
  std::lock_guard lock(mutex_);
  const PoseAt at = poses_.at(t_host_ns);
  if (at.status == Lookup::Ok) out = to_c(at.pose.X_base_tool);
  return status_of(at.status);
}

std::int32_t Tracker::device_time(std::uint64_t t_device_us, std::int64_t& out) {
  std::lock_guard lock(mutex_);
  if (!device_clock_.started()) return MOK_TRACK_NO_CLOCK;
  out = device_clock_.to_host(static_cast<std::int64_t>(t_device_us * 1000)) - config_.device_latency_ns;
  return MOK_TRACK_OK;
}

std::int32_t Tracker::map_points(std::uint64_t t_device_us, const mok_scan_point_t* points, std::uint32_t count,
                                 double* out_xyz) {
  std::lock_guard lock(mutex_);
  if (!device_clock_.started()) return MOK_TRACK_NO_CLOCK;
  const std::int64_t t_ns =
      device_clock_.to_host(static_cast<std::int64_t>(t_device_us * 1000)) - config_.device_latency_ns;
  const PoseAt at = poses_.at(t_ns);
  if (at.status != Lookup::Ok) return status_of(at.status);
  const Pose X_base_sensor = at.pose.X_base_tool * X_tool_sensor_;
  for (std::uint32_t i = 0; i < count; ++i) {
    copy3(X_base_sensor.apply(Eigen::Vector3d(0.0, points[i].y, points[i].z)), out_xyz + 3 * i);
  }
  return MOK_TRACK_OK;
}

mok_tracker_stats_t Tracker::stats() {
  std::lock_guard lock(mutex_);
  mok_tracker_stats_t s = stats_;
  s.results_pending = static_cast<std::uint64_t>(
      std::count_if(pending_.begin(), pending_.end(), [](const Pending& p) { return p.usable; }));
  s.poses_held = poses_.size();
  s.device_offset_ns = device_clock_.offset_ns();
  s.device_drift_ppm = device_clock_.drift_ppm();
  s.device_clock_resyncs = device_clock_.resyncs();
  s.robot_offset_ns = robot_clock_.offset_ns();
  s.robot_drift_ppm = robot_clock_.drift_ppm();
  s.robot_clock_resyncs = robot_clock_.resyncs();
  s.tool_distance_mm = poses_.empty() ? kNaN : poses_.newest().s;
  const auto last = path_.last();
  s.scanned_to_mm = last ? *last : kNaN;
  return s;
}

}  // namespace mok::track
