// The simulated robot cell: the workpiece (or a calibration target), the
// robot's program, the sensor mounted on the tool, and the camera that scans
// through the sensor at each capture time. A profile is rendered where the
// laser plane lies at its capture time (the true X_base_tool(t) *
// X_tool_sensor), with range noise and spatter, and carries the seam the
// camera would report, stamped by the camera's own clock. Pure: no sockets,
// no threads; the simulator's scan stream and the pose sender call in.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <Eigen/Geometry>

#include "motion.hpp"
#include "scenario.hpp"
#include "surface.hpp"
#include "workpiece.hpp"

namespace camsim::cell {

struct ProfilePoint {
  double y_mm = 0;  // sensor frame: across the seam
  double z_mm = 0;  // sensor frame: range
  bool valid = false;
};

struct CellProfile {
  std::uint64_t frame = 0;
  double t_s = 0;  // true capture time since the run's start
  std::uint64_t t_device_us = 0;
  std::vector<ProfilePoint> points;
  bool seam_found = false;
  double seam_y_mm = 0, seam_z_mm = 0;  // the reported seam in the sensor frame
  double width_mm = 0, height_mm = 0, angle_deg = 0;
  bool seam_spatter = false;  // ground truth: this report is an outlier
};

class Cell {
 public:
  explicit Cell(Scenario scenario);

  const Scenario& scenario() const { return scenario_; }
  const Workpiece& workpiece() const { return workpiece_; }
  const Motion& motion() const { return *motion_; }
  const Eigen::Isometry3d& X_tool_sensor() const { return X_tool_sensor_; }

  // Replaces the robot's program (a calibration pose program, say).
  void set_motion(std::shared_ptr<const Motion> motion) { motion_ = std::move(motion); }
  // Scans this target instead of the workpiece; the camera then finds no seam.
  void set_target(std::shared_ptr<const Surface> target) { target_ = std::move(target); }

  // Run length: the program plus the time poses keep coming after it.
  double run_s() const { return motion_->duration_s() + scenario_.poses.run_on_s; }

  // The profile of frame `frame` captured t_s after the start. Noise and
  // spatter are drawn from (seed, frame): the same call gives the same
  // profile. Without points only the seam report is made (fast replays).
  CellProfile scan(std::uint64_t frame, double t_s, bool with_points = true) const;

  // Ground truth: the seam point at the torch (the seam's crossing of the
  // plane through the tool centre point across the travel), nullopt where
  // the workpiece has no seam.
  std::optional<Eigen::Vector3d> seam_at_tool(const Eigen::Isometry3d& X_base_tool) const;

 private:
  Scenario scenario_;
  Workpiece workpiece_;
  std::shared_ptr<const Motion> motion_;
  std::shared_ptr<const Surface> target_;
  Eigen::Isometry3d X_tool_sensor_;
};

}  // namespace camsim::cell
