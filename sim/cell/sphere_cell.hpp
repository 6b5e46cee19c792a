// The calibration cells: the tracking scenario's robot, sensor mounting and
// camera, with a sphere (or a flat plate, the cross-check's target) fixed in
// the cell instead of the workpiece and the robot holding still at the poses
// the calibration's proposer lays out (as a person at a real cell would run
// it). The mounting to recover is the scenario's true one.
#pragma once

#include <memory>
#include <optional>

#include <Eigen/Geometry>

#include "cell.hpp"
#include "surface.hpp"

namespace camsim::cell {

class Sphere final : public Surface {
 public:
  Sphere(const Eigen::Vector3d& centre_base, double radius_mm) : centre_(centre_base), radius_(radius_mm) {}
  std::optional<double> intersect(const Eigen::Vector3d& origin_base,
                                  const Eigen::Vector3d& dir_base) const override;

 private:
  Eigen::Vector3d centre_;
  double radius_;
};

// An unbounded flat plate: normal_base . p = offset_mm.
class Plane final : public Surface {
 public:
  Plane(const Eigen::Vector3d& normal_base, double offset_mm)
      : normal_(normal_base.normalized()), offset_(offset_mm) {}
  std::optional<double> intersect(const Eigen::Vector3d& origin_base,
                                  const Eigen::Vector3d& dir_base) const override;

 private:
  Eigen::Vector3d normal_;
  double offset_;
};

struct SphereCellParams {
  Eigen::Vector3d centre_base{0, 0, -20};
  double radius_mm = 20;
  std::size_t poses = 12;
  double hold_ms = 300;  // at each pose
  double move_s = 0.3;   // between poses
};

// The cell of `scenario` (its mounting, camera, clocks and pose stream)
// running the sphere program.
std::shared_ptr<const Cell> make_sphere_cell(Scenario scenario, const SphereCellParams& params = {});
// The same program over a flat plate through the sphere's centre, facing up
// (+z of the base).
std::shared_ptr<const Cell> make_plane_cell(Scenario scenario, const SphereCellParams& params = {});

}  // namespace camsim::cell
