// The named scenarios. Distances are chosen so that the height step and the
// gap's ends are scanned and passed by the torch at different speeds, and the
// stop falls while the sensor looks into the gap.
#include "scenario.hpp"

#include <numbers>

namespace camsim::cell {
namespace {

double radians(double deg) { return deg * std::numbers::pi / 180; }

}  // namespace

Eigen::Isometry3d Scenario::X_base_start() const {
  Eigen::Isometry3d X = Eigen::Isometry3d::Identity();
  X.linear() = Eigen::AngleAxisd(std::numbers::pi, Eigen::Vector3d::UnitX()).toRotationMatrix();
  X.translation() = start_mm;
  return X;
}

Eigen::Isometry3d Scenario::X_tool_sensor() const {
  Eigen::Isometry3d X = Eigen::Isometry3d::Identity();
  X.linear() = (Eigen::AngleAxisd(radians(mount_rpy_deg.z()), Eigen::Vector3d::UnitZ()) *
                Eigen::AngleAxisd(radians(mount_rpy_deg.y()), Eigen::Vector3d::UnitY()) *
                Eigen::AngleAxisd(radians(mount_rpy_deg.x()), Eigen::Vector3d::UnitX()))
                   .toRotationMatrix();
  X.translation() = mount_translation_mm;
  return X;
}

double Scenario::look_ahead_mm() const {
  // Where the laser plane meets the taught path's line (the tool's x axis).
  const Eigen::Isometry3d X = X_tool_sensor();
  const Eigen::Vector3d n = X.linear().col(0);
  return n.dot(X.translation()) / n.x();
}

Scenario standard_scenario() {
  Scenario s;
  s.name = "standard";
  s.legs = {{0.4, 0},                          // at rest while the clocks settle
            {1.2, 100},                        // to x ≈ 118: the sensor passes the step at full speed
            {1.5, 10},   {1.5, 30}, {0.5, 0},  // the stop, with the sensor over the gap
            {1.05, 100}, {0.4, 0}};
  return s;
}

Scenario short_scenario() {
  Scenario s = standard_scenario();
  s.name = "short";
  s.workpiece.step_x_mm = 60;
  s.workpiece.gap_begin_mm = 75;
  s.workpiece.gap_end_mm = 85;
  s.legs = {{0.2, 0}, {0.5, 100}, {0.2, 0}, {0.6, 80}, {0.2, 0}};
  s.poses.run_on_s = 0.3;
  // Tests run this under sanitizers on busy machines: a coarser line keeps
  // the camera on time.
  s.camera.point_count = 160;
  return s;
}

std::optional<Scenario> scenario_by_name(std::string_view name) {
  if (name == "standard") return standard_scenario();
  if (name == "short") return short_scenario();
  return std::nullopt;
}

}  // namespace camsim::cell
