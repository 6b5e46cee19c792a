// What the laser line can fall on in the robot cell: anything that can say
// where a ray first meets it. The workpiece is one such surface; a calibration
// target (a sphere or a plane fixed in the cell) is another, so the same line
// sensor scans either.
#pragma once

#include <optional>

#include <Eigen/Geometry>

namespace camsim::cell {

class Surface {
 public:
  virtual ~Surface() = default;
  // Distance (mm) along the ray origin_base + d * dir_base, dir_base a unit
  // vector, to the ray's first hit at d >= 0; nullopt when it misses.
  virtual std::optional<double> intersect(const Eigen::Vector3d& origin_base,
                                          const Eigen::Vector3d& dir_base) const = 0;
};

}  // namespace camsim::cell
