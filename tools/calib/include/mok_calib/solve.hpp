// The mounting X_tool_sensor from views of a known target (a sphere of known
// radius, or a plane), by robust nonlinear least squares on the points'
// distances to the target's surface; with the uncertainty the solution's
// covariance predicts, and a refusal when the views leave a direction
// unconstrained.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mok_calib/types.hpp"

namespace mok::calib {

struct SolveOptions {
  // Where to start: the mounting from the drawing. The target's place is
  // estimated in closed form from the points mapped through it.
  Pose initial_X_tool_sensor = Pose::Identity();
  // The start is only a guess (no drawing): when the solve from it does not
  // converge or fits poorly, it is solved again from the start turned by
  // each of the 23 other quarter-turn orientations, and the accepted
  // solution that fits best is kept (a wrong start fits poorly; the
  // sphere converges from up to about 150 mm and 60 degrees away).
  bool search_start = false;
  // The robot's repeatability, one sigma per axis: each pose's error moves
  // all its points together, so it enters the solution as a small unknown
  // correction per pose with this prior (0: the poses are taken as exact).
  double pose_sigma_mm = 0;
  double pose_sigma_deg = 0;
  // Points farther than this many noise sigmas from the surface weigh less
  // (Huber); the noise sigma is estimated from the residuals.
  double huber_sigmas = 3.0;
  // After the first pass, points farther than this many noise sigmas are
  // left out (spatter, reflections); 0 keeps them all.
  double reject_sigmas = 5.0;
  // A view counts when it has this many points on the target.
  std::size_t min_points_per_view = 20;
  std::size_t min_views = 5;
  // Each plate needs this many views: a line on a plate fixes only two of a
  // view's six directions, and with fewer views the reported sigmas come out
  // several times smaller than the errors (the robot's pose errors are left
  // to their prior). In the simulated cell 8 was where they began to hold.
  std::size_t min_views_per_plane = 8;
  // A solution whose predicted sigma exceeds these in some direction is
  // refused as unconstrained (the views do not pin that direction down).
  double max_sigma_mm = 1.0;
  double max_sigma_deg = 1.0;
  // What the person wants; above it the result says how many more poses
  // of which kind would reach it (0: no target).
  double target_sigma_mm = 0;
  double target_sigma_deg = 0;
  // A solution whose points scatter about the target by more than this
  // (the robust noise sigma of the residuals, mm) is refused as a poor fit:
  // a laser line's noise is a few hundredths of a millimetre, so such a
  // scatter means profiles taken while the robot moved, poses paired with
  // the wrong profiles, or a wrong radius.
  double max_noise_sigma_mm = 0.5;
};

enum class Status {
  kOk = 0,
  kTooFewViews = 1,    // fewer usable views than min_views (or min_views_per_plane on a plate)
  kUnconstrained = 2,  // some direction of the mounting is not fixed by the views
  kNotConverged = 3,   // the solver stopped without converging
  kPoorFit = 4,        // the points scatter about the target far beyond a laser line's noise
};
const char* status_name(Status s);

struct Solution {
  Status status = Status::kOk;
  std::string reason;  // why it was refused, in a sentence; empty when kOk

  Pose X_tool_sensor = Pose::Identity();
  // The target: sphere centre in base (mm), or per plane its unit normal
  // and offset (n . p_base = offset, mm).
  Eigen::Vector3d centre_base = Eigen::Vector3d::Zero();
  std::vector<Eigen::Vector4d> planes_base;

  double residual_rms_mm = 0;
  double noise_sigma_mm = 0;        // the profile noise the residuals show (robust)
  std::vector<double> view_rms_mm;  // per view, in input order; NaN for a view left out
  std::vector<std::size_t> view_points;
  std::size_t views_used = 0;

  // One sigma of the mounting: translation along the tool's axes (mm),
  // rotation about the sensor's axes (degrees). The covariance is in the
  // same coordinates: [rotation about sensor x y z (rad), translation in
  // the tool frame (mm)].
  Eigen::Vector3d sigma_translation_mm = Eigen::Vector3d::Zero();
  Eigen::Vector3d sigma_rotation_deg = Eigen::Vector3d::Zero();
  Eigen::Matrix<double, 6, 6> covariance = Eigen::Matrix<double, 6, 6>::Zero();

  // The least-constrained direction and, when a target sigma was asked
  // for and is not met, how many more poses of which kind would meet it.
  std::string weakest_direction;
  std::size_t more_poses_needed = 0;
  std::string advice;
};

Solution solve_sphere(const std::vector<View>& views, double radius_mm, const SolveOptions& options);

// Points on one plane of unknown place. A single plane leaves the mounting's
// translation along directions the poses never tilt the plane against
// unobservable; the refusal says which. Use it as a cross-check, or with
// several planes (views_by_plane[k] are the views of plane k).
Solution solve_planes(const std::vector<std::vector<View>>& views_by_plane, const SolveOptions& options);

}  // namespace mok::calib
