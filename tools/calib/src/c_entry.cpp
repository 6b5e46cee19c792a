// The C entry point of libmok_calib_c.so (see mok_calib_c.h): checks the
// arrays, makes one call into the solver, copies the result out; nothing
// thrown crosses it.
#include <cmath>
#include <cstring>

#include "mok_calib/mok_calib_c.h"
#include "mok_calib/solve.hpp"

namespace {

using namespace mok::calib;

Pose pose7(const double* v) { return pose_from({v[0], v[1], v[2]}, {v[3], v[4], v[5], v[6]}); }

void copy_reason(mok_calib_result_t* out, const std::string& text) {
  std::strncpy(out->reason, text.c_str(), sizeof out->reason - 1);
  out->reason[sizeof out->reason - 1] = '\0';
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int mok_calib_sphere(
    const double* poses, size_t n_poses, const double* points, const uint32_t* point_pose, size_t n_points,
    double radius_mm, const double* initial, double pose_sigma_mm, double pose_sigma_deg, double target_sigma_mm,
    double target_sigma_deg, double* view_rms_out, mok_calib_result_t* out) {
  if (!out) return -1;
  std::memset(out, 0, sizeof *out);
  out->status = -1;
  if (!poses || !points || !point_pose || !(radius_mm > 0)) {
    copy_reason(out, "poses, points, point_pose and a positive radius are needed");
    return -1;
  }
  try {
    std::vector<View> views(n_poses);
    for (size_t i = 0; i < n_poses; ++i) views[i].X_base_tool = pose7(poses + 7 * i);
    for (size_t j = 0; j < n_points; ++j) {
      if (point_pose[j] >= n_poses) {
        copy_reason(out, "point_pose names a pose that does not exist");
        return -1;
      }
      views[point_pose[j]].points_yz.emplace_back(points[2 * j], points[2 * j + 1]);
    }
    SolveOptions o;
    if (initial) o.initial_X_tool_sensor = pose7(initial);
    o.pose_sigma_mm = pose_sigma_mm;
    o.pose_sigma_deg = pose_sigma_deg;
    o.target_sigma_mm = target_sigma_mm;
    o.target_sigma_deg = target_sigma_deg;
    const Solution s = solve_sphere(views, radius_mm, o);
    const Eigen::Vector4d q = quaternion_wxyz(s.X_tool_sensor);
    const Eigen::Vector3d t = s.X_tool_sensor.translation();
    const double mount[7] = {t.x(), t.y(), t.z(), q(0), q(1), q(2), q(3)};
    std::memcpy(out->mount, mount, sizeof mount);
    for (int k = 0; k < 3; ++k) {
      out->centre_mm[k] = s.centre_base(k);
      out->sigma_translation_mm[k] = s.sigma_translation_mm(k);
      out->sigma_rotation_deg[k] = s.sigma_rotation_deg(k);
    }
    out->residual_rms_mm = s.residual_rms_mm;
    out->noise_sigma_mm = s.noise_sigma_mm;
    out->more_poses_needed = s.more_poses_needed;
    copy_reason(out, s.status == Status::kOk ? s.advice : s.reason);
    if (view_rms_out)
      for (size_t i = 0; i < n_poses; ++i) view_rms_out[i] = s.view_rms_mm[i];
    out->status = static_cast<int>(s.status);
  } catch (...) {
    copy_reason(out, "the calibration failed unexpectedly (out of memory?)");
    out->status = -1;
  }
  return out->status;
}
