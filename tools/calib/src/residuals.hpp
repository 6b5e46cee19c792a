// The residual functors the solver hands to Ceres: a profile point mapped
// through the mounting (a small correction about the current estimate) and
// its pose (with an optional small correction for the robot's error) into
// the base frame, then measured against the target. Private to tools/calib.
#pragma once

#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include "mok_calib/types.hpp"

namespace mok::calib::detail {

// Parameter blocks: mount = [rotation vector about the sensor axes (rad),
// translation in the tool frame (mm)] applied to X0 as R = R0 * Exp(r),
// t = t0 + d; correction = [rotation (rad), translation (mm)] in the tool
// frame, X_base_tool' = X_base_tool * (Exp(r), d).
struct PointMap {
  Eigen::Matrix3d R0;
  Eigen::Vector3d t0;
  Eigen::Matrix3d R_base_tool;
  Eigen::Vector3d t_base_tool;
  double y = 0, z = 0;

  template <typename T>
  void operator()(const T* mount, const T* correction, T* p_base) const {
    const T p_sensor[3] = {T(0), T(y), T(z)};
    T p_rot[3];
    ceres::AngleAxisRotatePoint(mount, p_sensor, p_rot);
    T p_tool[3];
    for (int i = 0; i < 3; ++i)
      p_tool[i] = R0(i, 0) * p_rot[0] + R0(i, 1) * p_rot[1] + R0(i, 2) * p_rot[2] + t0(i) + mount[3 + i];
    T p_moved[3];
    ceres::AngleAxisRotatePoint(correction, p_tool, p_moved);
    for (int i = 0; i < 3; ++i) p_moved[i] += correction[3 + i];
    for (int i = 0; i < 3; ++i)
      p_base[i] = R_base_tool(i, 0) * p_moved[0] + R_base_tool(i, 1) * p_moved[1] +
                  R_base_tool(i, 2) * p_moved[2] + t_base_tool(i);
  }
};

struct SphereResidual {
  PointMap map;
  double radius_mm;
  double inv_sigma;

  template <typename T>
  bool operator()(const T* mount, const T* correction, const T* centre, T* r) const {
    T p[3];
    map(mount, correction, p);
    const T dx = p[0] - centre[0], dy = p[1] - centre[1], dz = p[2] - centre[2];
    r[0] = (ceres::sqrt(dx * dx + dy * dy + dz * dz) - T(radius_mm)) * T(inv_sigma);
    return true;
  }
};

struct PlaneResidual {
  PointMap map;
  double inv_sigma;

  template <typename T>
  bool operator()(const T* mount, const T* correction, const T* normal, const T* offset, T* r) const {
    T p[3];
    map(mount, correction, p);
    r[0] = (normal[0] * p[0] + normal[1] * p[1] + normal[2] * p[2] - offset[0]) * T(inv_sigma);
    return true;
  }
};

// The robot's repeatability as a prior on each pose's correction.
struct PosePrior {
  double inv_sigma_rad;
  double inv_sigma_mm;

  template <typename T>
  bool operator()(const T* correction, T* r) const {
    for (int i = 0; i < 3; ++i) r[i] = correction[i] * T(inv_sigma_rad);
    for (int i = 3; i < 6; ++i) r[i] = correction[i] * T(inv_sigma_mm);
    return true;
  }
};

}  // namespace mok::calib::detail
