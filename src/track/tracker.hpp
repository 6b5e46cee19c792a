// The tracker: poses and scan results in, the seam in the base frame and the
// torch's correction out. It owns the clocks, the pose buffer, the seam path
// and the results still waiting for the poses that cover their time; one
// short lock serialises hosts calling from several threads.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "mok/mok_track.h"
#include "track/clock_filter.hpp"
#include "track/outlier_filter.hpp"
#include "track/pose_buffer.hpp"
#include "track/seam_path.hpp"

namespace mok::track {

// One scan result's fields the tracker uses.
struct SeamInput {
  std::uint64_t t_device_us = 0;
  std::int64_t t_host_rx_ns = 0;
  bool found = false;
  double y = 0, z = 0, width = 0, height = 0, angle = 0;
};

class Tracker {
 public:
  // `config` as merge_config accepted it.
  explicit Tracker(const mok_tracker_config_t& config);

  void set_mount(const Pose& X_tool_sensor);
  void reset();
  // MOK_OK or a MOK_TRACK_ERR_* refusal (counted).
  std::int32_t push_pose(const mok_pose_t& X_base_tool, std::int64_t t_robot_us, std::int64_t t_host_rx_ns);
  void count_bad_datagram();
  void push_seam(const SeamInput& in);

  // MOK_TRACK_* (also in out.status), or MOK_TRACK_ERR_BAD_POSE for a given
  // pose that is not one.
  std::int32_t correction(const mok_pose_t* X_base_tool, std::int64_t t_host_ns, mok_correction_t& out);
  std::int32_t seam_at(double distance_mm, double* out_base);
  std::int32_t path_range(double& first_mm, double& last_mm);
  std::int32_t pose_at(std::int64_t t_host_ns, mok_pose_t& out);
  std::int32_t device_time(std::uint64_t t_device_us, std::int64_t& out);
  std::int32_t map_points(std::uint64_t t_device_us, const mok_scan_point_t* points, std::uint32_t count,
                          double* out_xyz);
  mok_tracker_stats_t stats();

 private:
  struct Pending {
    std::int64_t t_ns;   // host time of the scan
    std::int64_t rx_ns;  // when it was received
    bool usable;         // false: scanned, but no seam point to keep
    double y, z;
  };
  bool usable(const SeamInput& in);
  void drain();
  void take(const Pending& r, const TimedPose& at);
  // A pose's host time, or the refusal it earns (MOK_OK: none).
  struct PoseTime {
    std::int32_t refusal;
    std::int64_t t_ns;
  };
  PoseTime pose_time(std::int64_t t_robot_us, std::int64_t t_host_rx_ns);
  // Robot stamps this many times in a row far off the clock's line mean the
  // robot's clock was set, not that single poses are wrong.
  static constexpr int kFarInRowToResync = 3;

  std::mutex mutex_;
  const mok_tracker_config_t config_;
  Pose X_tool_sensor_;
  ClockFilter device_clock_;
  ClockFilter robot_clock_;
  PoseBuffer poses_;
  SeamPath path_;
  OutlierFilter outliers_;
  std::deque<Pending> pending_;  // by arrival, at most config_.pending_capacity
  std::optional<double> look_ahead_mm_;
  std::int64_t newest_rx_ns_ = INT64_MIN;
  std::int64_t newest_pose_rx_ns_ = INT64_MIN;
  int robot_far_in_row_ = 0;
  mok_tracker_stats_t stats_{};
};

}  // namespace mok::track
