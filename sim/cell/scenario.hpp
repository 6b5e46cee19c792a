// A robot-cell run described as data: the workpiece, the robot's speed
// profile along the taught path, the sensor's mounting, the camera's and the
// robot controller's clocks, and the pose stream's timing. The standard
// scenario is the one the tracking figures are measured on; the short one
// keeps tests quick.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <Eigen/Geometry>

#include "motion.hpp"
#include "workpiece.hpp"

namespace camsim::cell {

// A free-running clock: reads offset_us + (1 + drift) * true time.
struct DriftingClock {
  double offset_us = 0;
  double drift_ppm = 0;
  std::int64_t at_us(double t_s) const {
    return static_cast<std::int64_t>(std::llround(offset_us + t_s * 1e6 * (1 + drift_ppm * 1e-6)));
  }
};

struct CameraParams {
  double scan_rate_hz = 500;
  std::uint32_t point_count = 320;
  double fov_mm = 60;           // the laser line's width, centred on y_sensor = 0
  double noise_mm = 0.05;       // range noise of each profile point
  double spatter = 0.02;        // share of points, and of seam reports, hit by spatter
  double seam_noise_mm = 0.02;  // scatter of the camera's fitted seam point
};

struct PoseStreamParams {
  double rate_hz = 250;
  double latency_ms = 20;  // from the pose being true to its datagram leaving
  double jitter_ms = 4;    // uniform within latency ± jitter; datagrams keep their order
  double run_on_s = 1.0;   // poses keep coming this long after the program ends
};

struct Scenario {
  std::string name;
  WorkpieceParams workpiece;
  // The tool starts here (base frame, mm), torch pointing down (z_tool =
  // -z_base), and travels along x_base.
  Eigen::Vector3d start_mm{0, 0, 2};
  std::vector<Leg> legs;
  double accel_mm_s2 = 2000;
  double taught_speed_mm_s = 100;  // what a fixed-delay tracker assumes
  // X_tool_sensor: translation and roll/pitch/yaw (about x, y, z of the tool, applied z*y*x).
  Eigen::Vector3d mount_translation_mm{36, 1.0, -120};
  Eigen::Vector3d mount_rpy_deg{-1.0, 2.0, 1.5};
  CameraParams camera;
  DriftingClock device_clock{3.6e9, -30};
  DriftingClock robot_clock{8.1e8, 50};
  PoseStreamParams poses;
  std::uint64_t seed = 1;

  Eigen::Isometry3d X_base_start() const;
  Eigen::Isometry3d X_tool_sensor() const;
  // The look-ahead: how far ahead of the torch the laser plane cuts the seam
  // on the taught path.
  double look_ahead_mm() const;
  // The pose path's minimum latency, what a tracker is configured with.
  double pose_fixed_latency_ms() const { return poses.latency_ms - poses.jitter_ms; }
};

// ±3 mm lateral deviation, 2 mm height step, a 20 mm gap, 40 mm look-ahead,
// σ 0.05 mm, 2 % spatter, poses at 250 Hz with 20 ± 4 ms and 50 ppm drift,
// 100 mm/s with steps to 10 and 30 mm/s and a stop: about 290 mm in 7 s.
Scenario standard_scenario();
// The same cell over about 100 mm in under 2 s, step and gap included.
Scenario short_scenario();
// "standard" or "short".
std::optional<Scenario> scenario_by_name(std::string_view name);

}  // namespace camsim::cell
