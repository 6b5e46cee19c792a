// Words for the mounting's directions and what a person can do about a weak
// one: which direction the covariance leaves widest, which kind of pose
// constrains it, and how many more poses would reach a target sigma.
#pragma once

#include <string>

#include "mok_calib/solve.hpp"

namespace mok::calib::detail {

// v: a direction in [rotation about sensor x y z, translation along tool x y z].
std::string describe_direction(const Eigen::Matrix<double, 6, 1>& v);
std::string pose_kind_for(const Eigen::Matrix<double, 6, 1>& v);

// Fills weakest_direction, more_poses_needed and advice, and refuses the
// solution when a sigma exceeds the options' limits. scaled_covariance has
// rotations in mm at the working distance, so its eigenvectors compare.
void advise(Solution& s, const Eigen::Matrix<double, 6, 6>& scaled_covariance, std::size_t views,
            const SolveOptions& o);

}  // namespace mok::calib::detail
