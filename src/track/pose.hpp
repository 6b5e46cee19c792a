// A rigid pose (position in mm, unit quaternion) and the few operations the
// tracker composes: chaining frames, mapping points, interpolating between two
// time-stamped poses, and checking a pose that came from outside.
#pragma once

#include <optional>

#include <Eigen/Geometry>

#include "mok/mok_track.h"

namespace mok::track {

// As X_A_B: frame B's pose in frame A, so apply() maps p_B to p_A.
struct Pose {
  Eigen::Vector3d p = Eigen::Vector3d::Zero();
  Eigen::Quaterniond q = Eigen::Quaterniond::Identity();

  Eigen::Vector3d apply(const Eigen::Vector3d& v) const { return q * v + p; }
  // X_A_C = X_A_B * X_B_C.
  Pose operator*(const Pose& b) const { return {p + q * b.p, q * b.q}; }
  Pose inverse() const {
    const Eigen::Quaterniond qi = q.conjugate();
    return {-(qi * p), qi};
  }
};

// Linear in position, spherical (slerp, the shorter way) in rotation; f in [0, 1].
Pose interpolate(const Pose& a, const Pose& b, double f);

// A quaternion may be off unit length by this much; within it is normalised.
inline constexpr double kUnitTolerance = 1e-3;

// The pose, quaternion normalised; nothing when a value is not finite or the
// quaternion's norm is off by more than kUnitTolerance.
// The largest position coordinate accepted, in mm (a thousand kilometres).
inline constexpr double kMaxPositionMm = 1e9;

std::optional<Pose> checked_pose(const mok_pose_t& in);
std::optional<Pose> checked_pose(const Eigen::Vector3d& p, double w, double x, double y, double z);
mok_pose_t to_c(const Pose& pose);

}  // namespace mok::track
