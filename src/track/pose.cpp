// Pose interpolation and the checks every pose from a host passes.
#include "track/pose.hpp"

#include <cmath>

namespace mok::track {

Pose interpolate(const Pose& a, const Pose& b, double f) { return {a.p + f * (b.p - a.p), a.q.slerp(f, b.q)}; }

std::optional<Pose> checked_pose(const Eigen::Vector3d& p, double w, double x, double y, double z) {
  const Eigen::Quaterniond q(w, x, y, z);
  // Beyond a thousand kilometres a position is garbage, and distances and
  // squares computed from it would overflow to infinity further on.
  if (!p.allFinite() || !q.coeffs().allFinite() || p.cwiseAbs().maxCoeff() > kMaxPositionMm) return std::nullopt;
  if (std::abs(q.norm() - 1.0) > kUnitTolerance) return std::nullopt;
  return Pose{p, q.normalized()};
}

std::optional<Pose> checked_pose(const mok_pose_t& in) {
  return checked_pose(Eigen::Vector3d(in.x_mm, in.y_mm, in.z_mm), in.qw, in.qx, in.qy, in.qz);
}

mok_pose_t to_c(const Pose& pose) {
  return {pose.p.x(), pose.p.y(), pose.p.z(), pose.q.w(), pose.q.x(), pose.q.y(), pose.q.z()};
}

}  // namespace mok::track
