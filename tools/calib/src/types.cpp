// Pose helpers shared by the solver, the planner and the file code.
#include "mok_calib/types.hpp"

namespace mok::calib {

Pose pose_from(const Eigen::Vector3d& translation_mm, const Eigen::Vector4d& q_wxyz) {
  Pose X = Pose::Identity();
  X.linear() = Eigen::Quaterniond(q_wxyz(0), q_wxyz(1), q_wxyz(2), q_wxyz(3)).normalized().toRotationMatrix();
  X.translation() = translation_mm;
  return X;
}

Eigen::Vector4d quaternion_wxyz(const Pose& X) {
  const Eigen::Quaterniond q(X.linear());
  return {q.w(), q.x(), q.y(), q.z()};
}

PoseError pose_error(const Pose& truth, const Pose& estimate) {
  const Eigen::AngleAxisd d(truth.linear().transpose() * estimate.linear());
  return {(estimate.translation() - truth.translation()).norm(), std::abs(d.angle()) * kRadToDeg};
}

}  // namespace mok::calib
