// A pose set for the robot to run that constrains all six degrees of the
// mounting: the sensor looks at the sphere from tilts in several directions,
// rolled about its range axis, with the laser plane cutting the sphere at
// different distances from its centre, at different places in the view.
#pragma once

#include <cstdint>
#include <vector>

#include "mok_calib/types.hpp"

namespace mok::calib {

struct PlanOptions {
  Eigen::Vector3d centre_base = Eigen::Vector3d::Zero();  // where the sphere roughly is
  double radius_mm = 25;
  Pose X_tool_sensor = Pose::Identity();  // the drawing's mounting
  // The sensor looks along its +z; the sphere's centre sits this far away.
  double standoff_mm = 150;
  // The view direction with no tilt, in the base frame (default: down).
  Eigen::Vector3d look_base = -Eigen::Vector3d::UnitZ();
  std::size_t poses = 12;
  double max_tilt_deg = 30;  // tilt of the view direction away from look_base
  double max_roll_deg = 90;  // roll about the view direction, either way
  // Where the laser plane cuts the sphere, as a fraction of the radius off
  // its centre, at most.
  double max_cut_offset = 0.5;
  // The sphere's place in the field of view: across it (y) and in range (z,
  // about the standoff). The mounting's rotation shows as the sphere moving
  // differently in the base frame than it does in the sensor's view, so the
  // view must vary, not only the tool's orientation.
  double max_lateral_mm = 15;
  double max_depth_mm = 35;
  // 0: the regular set; otherwise the set is jittered by this seed.
  std::uint64_t seed = 0;
};

// X_base_tool for each pose.
std::vector<Pose> propose_sphere_poses(const PlanOptions& o);

}  // namespace mok::calib
