// The simulated calibration cell (see scenario.hpp).
#include "scenario.hpp"

namespace mok::calib::scenario {
namespace {

constexpr double kDegToRad = 1.0 / kRadToDeg;

Eigen::Vector3d gaussian3(std::mt19937_64& rng, double sigma) {
  std::normal_distribution<double> n(0.0, sigma);
  return {n(rng), n(rng), n(rng)};
}

Pose small_motion(const Eigen::Vector3d& rotation_rad, const Eigen::Vector3d& translation_mm) {
  Pose X = Pose::Identity();
  if (rotation_rad.norm() > 0)
    X.linear() = Eigen::AngleAxisd(rotation_rad.norm(), rotation_rad.normalized()).toRotationMatrix();
  X.translation() = translation_mm;
  return X;
}

Pose robot_error(const Cell& cell, std::mt19937_64& rng) {
  return small_motion(gaussian3(rng, cell.pose_sigma_deg * kDegToRad), gaussian3(rng, cell.pose_sigma_mm));
}

}  // namespace

Cell make_cell(std::uint64_t seed) {
  std::mt19937_64 rng(seed * 7919 + 1);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Cell c;
  // Ahead of the torch by ~60 mm, above it by ~40, looking down and back at 15-25 degrees.
  c.X_tool_sensor_true = small_motion(Eigen::Vector3d(0.05 * u(rng), (20 + 5 * u(rng)) * kDegToRad, 0.1 * u(rng)),
                                      Eigen::Vector3d(60 + 5 * u(rng), 3 * u(rng), -40 + 5 * u(rng)));
  c.X_tool_sensor_drawing =
      c.X_tool_sensor_true * small_motion(Eigen::Vector3d(u(rng), u(rng), u(rng)).normalized() * 1.5 * kDegToRad,
                                          Eigen::Vector3d(u(rng), u(rng), u(rng)).normalized() * 2.0);
  c.centre_base = Eigen::Vector3d(900 + 100 * u(rng), 200 * u(rng), 150 + 50 * u(rng));
  return c;
}

PlanOptions plan_for(const Cell& cell, std::size_t poses, std::uint64_t seed) {
  std::mt19937_64 rng(seed * 104729 + 3);
  PlanOptions o;
  o.centre_base = cell.centre_base + gaussian3(rng, 2.0);
  o.radius_mm = cell.radius_mm;
  o.X_tool_sensor = cell.X_tool_sensor_drawing;
  o.poses = poses;
  o.seed = seed;
  return o;
}

std::vector<View> sphere_views(const Cell& cell, const std::vector<Pose>& X_base_tool, std::mt19937_64& rng) {
  std::vector<View> out;
  for (const auto& X : X_base_tool) {
    const Pose X_base_sensor = X * robot_error(cell, rng) * cell.X_tool_sensor_true;
    out.push_back({X, mok::sim::laser_sphere_profile(X_base_sensor, cell.centre_base, cell.radius_mm, cell.fov,
                                                     cell.profile_sigma_mm, rng)});
  }
  return out;
}

std::vector<View> plane_views(const Cell& cell, const std::vector<Pose>& X_base_tool,
                              const Eigen::Vector3d& normal_base, double offset_mm, std::mt19937_64& rng) {
  std::vector<View> out;
  for (const auto& X : X_base_tool) {
    const Pose X_base_sensor = X * robot_error(cell, rng) * cell.X_tool_sensor_true;
    out.push_back({X, mok::sim::laser_plane_profile(X_base_sensor, normal_base, offset_mm, cell.fov,
                                                    cell.profile_sigma_mm, rng)});
  }
  return out;
}

Eigen::Matrix<double, 6, 1> local_error(const Pose& truth, const Pose& estimate) {
  const Eigen::AngleAxisd d(truth.linear().transpose() * estimate.linear());
  Eigen::Matrix<double, 6, 1> e;
  e << d.angle() * d.axis(), estimate.translation() - truth.translation();
  return e;
}

}  // namespace mok::calib::scenario
