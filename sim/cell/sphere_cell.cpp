// The calibration cell (see sphere_cell.hpp).
#include "sphere_cell.hpp"

#include <cmath>

#include "mok_calib/plan.hpp"

namespace camsim::cell {

std::optional<double> Sphere::intersect(const Eigen::Vector3d& origin_base,
                                        const Eigen::Vector3d& dir_base) const {
  const Eigen::Vector3d oc = origin_base - centre_;
  const double b = dir_base.dot(oc);
  const double disc = b * b - (oc.squaredNorm() - radius_ * radius_);
  if (disc < 0) return std::nullopt;
  const double root = std::sqrt(disc);
  if (-b - root >= 0) return -b - root;
  if (-b + root >= 0) return -b + root;  // the ray starts inside the sphere
  return std::nullopt;
}

std::optional<double> Plane::intersect(const Eigen::Vector3d& origin_base, const Eigen::Vector3d& dir_base) const {
  const double along = normal_.dot(dir_base);
  if (std::abs(along) < 1e-12) return std::nullopt;
  const double d = (offset_ - normal_.dot(origin_base)) / along;
  if (d < 0) return std::nullopt;
  return d;
}

namespace {

std::shared_ptr<Cell> with_program(Scenario scenario, const SphereCellParams& params) {
  auto cell = std::make_shared<Cell>(std::move(scenario));
  mok::calib::PlanOptions plan;
  plan.centre_base = params.centre_base;
  plan.radius_mm = params.radius_mm;
  plan.X_tool_sensor = cell->X_tool_sensor();
  // The sphere at the sensor's working range, inside its narrower view.
  plan.standoff_mm = std::abs(cell->X_tool_sensor().translation().z());
  plan.max_lateral_mm = cell->scenario().camera.fov_mm / 2 - params.radius_mm;
  plan.max_depth_mm = 20;
  plan.poses = params.poses;
  std::vector<HoldPose> program;
  for (const auto& X : mok::calib::propose_sphere_poses(plan)) program.push_back({X, params.hold_ms});
  cell->set_motion(std::make_shared<PoseProgram>(std::move(program), params.move_s));
  return cell;
}

}  // namespace

std::shared_ptr<const Cell> make_sphere_cell(Scenario scenario, const SphereCellParams& params) {
  auto cell = with_program(std::move(scenario), params);
  cell->set_target(std::make_shared<Sphere>(params.centre_base, params.radius_mm));
  return cell;
}

std::shared_ptr<const Cell> make_plane_cell(Scenario scenario, const SphereCellParams& params) {
  auto cell = with_program(std::move(scenario), params);
  cell->set_target(std::make_shared<Plane>(Eigen::Vector3d::UnitZ(), params.centre_base.z()));
  return cell;
}

}  // namespace camsim::cell
