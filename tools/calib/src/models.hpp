// The targets the solver fits besides the mounting: a sphere of known radius
// (centre unknown) and one or more planes (normal and offset unknown). Each
// starts from a closed-form fit of the points mapped through the starting
// mounting, owns its Ceres parameter blocks and makes the residual of a point.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <ceres/ceres.h>

#include "mok_calib/solve.hpp"
#include "residuals.hpp"

namespace mok::calib::detail {

class TargetModel {
 public:
  virtual ~TargetModel() = default;
  // Closed-form first estimate from the points of each view in the base frame.
  virtual void init(const std::vector<std::vector<Eigen::Vector3d>>& p_base_by_view) = 0;
  virtual void add_blocks(ceres::Problem& problem) = 0;
  virtual std::vector<double*> blocks() = 0;
  virtual ceres::CostFunction* cost(const PointMap& map, double inv_sigma, std::size_t view, double* mount,
                                    double* correction, std::vector<double*>& blocks_out) = 0;
  virtual double distance_mm(const Eigen::Vector3d& p_base, std::size_t view) const = 0;
  virtual void write(Solution& out) const = 0;
  // Why the usable views are too few for this target ("" when they are not).
  virtual std::string too_few_views(const std::vector<std::size_t>& /*used*/, const SolveOptions& /*o*/) const {
    return {};
  }
};

std::unique_ptr<TargetModel> make_sphere(double radius_mm);
// view_plane[i]: which plane view i sees.
std::unique_ptr<TargetModel> make_planes(std::vector<std::size_t> view_plane, std::size_t planes);

}  // namespace mok::calib::detail
