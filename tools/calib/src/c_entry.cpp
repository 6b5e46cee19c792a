// The C entry points of libmok_calib_c.so (see mok_calib_c.h): check the
// arrays, make one call into the solver, copy the result out; nothing
// thrown crosses them.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "mok_calib/mok_calib_c.h"
#include "mok_calib/solve.hpp"

namespace {

using namespace mok::calib;

Pose pose7(const double* v) { return pose_from({v[0], v[1], v[2]}, {v[3], v[4], v[5], v[6]}); }

void copy_reason(mok_calib_result_t* out, const std::string& text) {
  std::strncpy(out->reason, text.c_str(), sizeof out->reason - 1);
  out->reason[sizeof out->reason - 1] = '\0';
}

// An argument error: out cleared, the reason in it, status -1.
int bad_arguments(mok_calib_result_t* out, const char* text) {
  if (!out) return -1;
  std::memset(out, 0, sizeof *out);
  out->status = -1;
  copy_reason(out, text);
  return -1;
}

struct Arrays {
  const double* poses;
  size_t n_poses;
  const double* points;
  const uint32_t* point_pose;
  size_t n_points;
  const double* initial;
  double pose_sigma_mm, pose_sigma_deg, target_sigma_mm, target_sigma_deg;
  double* view_rms_out;
};

// Checks the arrays, builds the views, runs solve(views, options) and copies
// the solution into out; then done(solution) copies what only that target has.
template <class Solve, class Done>
int run(const Arrays& a, mok_calib_result_t* out, Solve solve, Done done) {
  if (!a.poses || !a.points || !a.point_pose) return bad_arguments(out, "poses, points and point_pose are needed");
  if (!out) return -1;
  std::memset(out, 0, sizeof *out);
  out->status = -1;
  try {
    std::vector<View> views(a.n_poses);
    for (size_t i = 0; i < a.n_poses; ++i) views[i].X_base_tool = pose7(a.poses + 7 * i);
    for (size_t j = 0; j < a.n_points; ++j) {
      if (a.point_pose[j] >= a.n_poses) {
        copy_reason(out, "point_pose names a pose that does not exist");
        return -1;
      }
      views[a.point_pose[j]].points_yz.emplace_back(a.points[2 * j], a.points[2 * j + 1]);
    }
    SolveOptions o;
    if (a.initial)
      o.initial_X_tool_sensor = pose7(a.initial);
    else
      o.search_start = true;  // no drawing: the tool's frame, then its quarter turns
    o.pose_sigma_mm = a.pose_sigma_mm;
    o.pose_sigma_deg = a.pose_sigma_deg;
    o.target_sigma_mm = a.target_sigma_mm;
    o.target_sigma_deg = a.target_sigma_deg;
    const Solution s = solve(views, o);
    const Eigen::Vector4d q = quaternion_wxyz(s.X_tool_sensor);
    const Eigen::Vector3d t = s.X_tool_sensor.translation();
    const double mount[7] = {t.x(), t.y(), t.z(), q(0), q(1), q(2), q(3)};
    std::memcpy(out->mount, mount, sizeof mount);
    for (int k = 0; k < 3; ++k) {
      out->sigma_translation_mm[k] = s.sigma_translation_mm(k);
      out->sigma_rotation_deg[k] = s.sigma_rotation_deg(k);
    }
    out->residual_rms_mm = s.residual_rms_mm;
    out->noise_sigma_mm = s.noise_sigma_mm;
    out->more_poses_needed = s.more_poses_needed;
    copy_reason(out, s.status == Status::kOk ? s.advice : s.reason);
    if (a.view_rms_out)
      for (size_t i = 0; i < a.n_poses; ++i) a.view_rms_out[i] = i < s.view_rms_mm.size() ? s.view_rms_mm[i] : NAN;
    done(s);
    out->status = static_cast<int>(s.status);
  } catch (...) {
    copy_reason(out, "the calibration failed unexpectedly (out of memory?)");
    out->status = -1;
  }
  return out->status;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int mok_calib_sphere(
    const double* poses, size_t n_poses, const double* points, const uint32_t* point_pose, size_t n_points,
    double radius_mm, const double* initial, double pose_sigma_mm, double pose_sigma_deg, double target_sigma_mm,
    double target_sigma_deg, double* view_rms_out, mok_calib_result_t* out) {
  if (!(radius_mm > 0)) return bad_arguments(out, "the sphere's radius must be positive");
  const Arrays a{poses,         n_poses,        points,          point_pose,       n_points,    initial,
                 pose_sigma_mm, pose_sigma_deg, target_sigma_mm, target_sigma_deg, view_rms_out};
  return run(
      a, out,
      [&](const std::vector<View>& views, const SolveOptions& o) { return solve_sphere(views, radius_mm, o); },
      [&](const Solution& s) {
        for (int k = 0; k < 3; ++k) out->centre_mm[k] = s.centre_base(k);
      });
}

extern "C" __attribute__((visibility("default"))) int mok_calib_planes(
    const double* poses, const uint32_t* pose_plane, size_t n_poses, const double* points,
    const uint32_t* point_pose, size_t n_points, const double* initial, double pose_sigma_mm,
    double pose_sigma_deg, double target_sigma_mm, double target_sigma_deg, double* view_rms_out,
    double* planes_out, mok_calib_result_t* out) {
  if (!pose_plane) return bad_arguments(out, "pose_plane is needed");
  const Arrays a{poses,         n_poses,        points,          point_pose,       n_points,    initial,
                 pose_sigma_mm, pose_sigma_deg, target_sigma_mm, target_sigma_deg, view_rms_out};
  return run(
      a, out,
      [&](const std::vector<View>& views, const SolveOptions& o) {
        // The solver numbers the views plate by plate, each plate's in the
        // order given: order[k] is the caller's index of the solver's view k.
        std::vector<std::size_t> order(views.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t x, std::size_t y) { return pose_plane[x] < pose_plane[y]; });
        std::vector<std::vector<View>> by_plane(order.empty() ? 0 : pose_plane[order.back()] + std::size_t{1});
        for (std::size_t i : order) by_plane[pose_plane[i]].push_back(views[i]);
        Solution s = solve_planes(by_plane, o);
        std::vector<double> rms(views.size(), NAN);
        for (std::size_t k = 0; k < order.size() && k < s.view_rms_mm.size(); ++k)
          rms[order[k]] = s.view_rms_mm[k];
        s.view_rms_mm = std::move(rms);
        return s;
      },
      [&](const Solution& s) {
        if (!planes_out) return;
        for (std::size_t k = 0; k < s.planes_base.size(); ++k)
          for (int c = 0; c < 4; ++c) planes_out[4 * k + c] = s.planes_base[k](c);
      });
}
