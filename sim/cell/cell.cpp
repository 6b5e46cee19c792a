// Rendering one profile: each of the line's points is a ray along the
// sensor's range axis (z_sensor) from y_sensor on the line, cast into the base
// frame; the seam report is where the seam curve crosses the laser plane.
#include "cell.hpp"

#include <cmath>
#include <random>

namespace camsim::cell {
namespace {

constexpr double kSeamSearchMm = 40;  // how far from the sensor's own x the seam crossing is looked for

}  // namespace

Cell::Cell(Scenario scenario)
    : scenario_(std::move(scenario)),
      workpiece_(scenario_.workpiece),
      motion_(std::make_shared<PathMotion>(scenario_.X_base_start(), scenario_.legs, scenario_.accel_mm_s2)),
      X_tool_sensor_(scenario_.X_tool_sensor()) {}

CellProfile Cell::scan(std::uint64_t frame, double t_s, bool with_points) const {
  const CameraParams& cam = scenario_.camera;
  CellProfile p;
  p.frame = frame;
  p.t_s = t_s;
  p.t_device_us = static_cast<std::uint64_t>(scenario_.device_clock.at_us(t_s));
  std::mt19937_64 rng(scenario_.seed * 0x9E3779B97F4A7C15ull ^ (frame + 1));
  std::normal_distribution<double> normal(0, 1);
  std::uniform_real_distribution<double> uniform(0, 1);

  const Eigen::Isometry3d X_base_sensor = motion_->at(t_s).X_base_tool * X_tool_sensor_;
  const Eigen::Vector3d dir_base = X_base_sensor.linear().col(2);
  const Surface& surface = target_ ? *target_ : static_cast<const Surface&>(workpiece_);
  const std::uint32_t n = with_points ? cam.point_count : 0;
  const double step = n > 1 ? cam.fov_mm / (n - 1) : 0.0;
  p.points.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    const double y = -cam.fov_mm / 2 + step * i;
    const auto d = surface.intersect(X_base_sensor * Eigen::Vector3d(0, y, 0), dir_base);
    const double noise = cam.noise_mm * normal(rng);
    if (!d) continue;
    double z = *d + noise;
    // Spatter: a bright particle between the sensor and the plate.
    if (uniform(rng) < cam.spatter) z -= 0.5 + 4.5 * uniform(rng);
    p.points[i] = {y, z, true};
  }

  if (target_) return p;
  const auto seam =
      workpiece_.seam_crossing(X_base_sensor.translation(), X_base_sensor.linear().col(0), kSeamSearchMm);
  if (!seam) return p;
  const Eigen::Vector3d p_sensor = X_base_sensor.inverse() * *seam;
  if (std::abs(p_sensor.y()) > cam.fov_mm / 2) return p;
  p.seam_found = true;
  p.seam_y_mm = p_sensor.y() + cam.seam_noise_mm * normal(rng);
  p.seam_z_mm = p_sensor.z() + cam.seam_noise_mm * normal(rng);
  if (uniform(rng) < cam.spatter) {
    // The camera's fit caught a spatter blob beside the groove.
    p.seam_spatter = true;
    p.seam_y_mm += (uniform(rng) < 0.5 ? -1 : 1) * (1 + 3 * uniform(rng));
    p.seam_z_mm -= 0.5 + 2.5 * uniform(rng);
  }
  const WorkpieceParams& w = workpiece_.params();
  p.width_mm = w.groove_width_mm;
  p.height_mm = w.groove_depth_mm;
  p.angle_deg = workpiece_.groove_angle_deg();
  return p;
}

std::optional<Eigen::Vector3d> Cell::seam_at_tool(const Eigen::Isometry3d& X_base_tool) const {
  return workpiece_.seam_crossing(X_base_tool.translation(), X_base_tool.linear().col(0), kSeamSearchMm);
}

}  // namespace camsim::cell
