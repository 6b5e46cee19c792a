// What a hand-eye calibration of the line sensor starts from: the robot's
// tool poses and the profile points seen at each, in the frames and units of
// the tracking convention (X_A_B is frame B in frame A, millimetres).
#pragma once

#include <cstddef>
#include <vector>

#include <Eigen/Geometry>

namespace mok::calib {

using Pose = Eigen::Isometry3d;

// One station: the robot holding still at X_base_tool while the camera
// reports profile points (y, z) in the laser plane (x_sensor = 0).
struct View {
  Pose X_base_tool = Pose::Identity();
  std::vector<Eigen::Vector2d> points_yz;
};

// A pose from position (mm) and quaternion in (w, x, y, z) order; the
// quaternion is normalised.
Pose pose_from(const Eigen::Vector3d& translation_mm, const Eigen::Vector4d& q_wxyz);
Eigen::Vector4d quaternion_wxyz(const Pose& X);

// The error of `estimate` against `truth` as the tracker would feel it:
// translation difference in the tool frame (mm) and the rotation angle
// between them (degrees).
struct PoseError {
  double translation_mm = 0;
  double rotation_deg = 0;
};
PoseError pose_error(const Pose& truth, const Pose& estimate);

constexpr double kRadToDeg = 57.29577951308232;

}  // namespace mok::calib
