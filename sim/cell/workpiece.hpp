// The workpiece in the robot's base frame: a plate with a V-groove whose root
// (the seam) runs along a curve near the taught path (x_base): a lateral
// deviation, a gentle slope, a height step, and a stretch where the plate is
// closed and there is no seam. Everything is a pure function of x_base, so the
// renderer and the ground truth see the same geometry.
#pragma once

#include <optional>
#include <vector>

#include <Eigen/Geometry>

#include "surface.hpp"

namespace camsim::cell {

struct WorkpieceParams {
  double x_begin_mm = -80;  // the plate's extent along x_base
  double x_end_mm = 450;
  double top_z_mm = 10;             // plate top at x_base = 0...
  double slope = 0.01;              // ...rising this much per mm along x_base
  double lateral_amplitude_mm = 3;  // the seam's sideways deviation from y_base = 0
  double lateral_wavelength_mm = 160;
  double step_x_mm = 150;  // from here on the plate (and the seam) is step_mm higher
  double step_mm = 2;
  double gap_begin_mm = 210;  // no groove, no seam over [gap_begin, gap_end)
  double gap_end_mm = 230;
  double groove_width_mm = 12;
  double groove_depth_mm = 8;
  double root_gap_mm = 1.5;
  double backing_mm = 1;  // the backing bar shows this far below the root
};

class Workpiece final : public Surface {
 public:
  explicit Workpiece(const WorkpieceParams& params);
  const WorkpieceParams& params() const { return p_; }

  // The true seam (the groove's root) at x_base, whether or not it is present.
  Eigen::Vector3d seam_at(double x_base) const;
  // Whether there is a seam at x_base (on the plate and outside the gap).
  bool seam_present(double x_base) const;
  // Height of the plate's surface at (x, y) in the base frame; nullopt off the plate.
  std::optional<double> height(double x_base, double y_base) const;
  // The seam's included angle, degrees.
  double groove_angle_deg() const;

  // Where the seam crosses the plane through origin_base with normal
  // normal_base, searched within search_mm of origin_base along x_base;
  // nullopt when it does not cross there or has no seam at the crossing.
  std::optional<Eigen::Vector3d> seam_crossing(const Eigen::Vector3d& origin_base,
                                               const Eigen::Vector3d& normal_base, double search_mm) const;

  std::optional<double> intersect(const Eigen::Vector3d& origin_base,
                                  const Eigen::Vector3d& dir_base) const override;

 private:
  double top(double x_base) const;
  double lateral(double x_base) const;
  double lateral_exact(double x_base) const;
  WorkpieceParams p_;
  // The lateral deviation every kTableStepMm over the plate: the camera asks
  // for it a million times a second, and a sine each time would not keep up.
  std::vector<double> lateral_table_;
};

}  // namespace camsim::cell
