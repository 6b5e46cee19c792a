// mok-bench-calib-track: calibration then tracking, end to end on the
// simulated cell. The sphere program runs in the cell (its camera's noise and
// spatter, the robot's repeatability added to the poses it reports), the
// mounting is solved from the drawing's, and the seam is then tracked through
// real sockets with the true, the calibrated and the drawing's mounting. The
// correction error the calibration adds is set beside what its covariance
// predicted at the seam. Prints figures; asserts nothing.
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "cell_run.hpp"
#include "figures.hpp"
#include "mok_calib/solve.hpp"
#include "sim/cell/sphere_cell.hpp"

namespace {

using namespace celltrack;
namespace calib = mok::calib;
using camsim::cell::Cell;

constexpr double kRobotSigmaMm = 0.05;  // the robot's repeatability, per axis
constexpr double kRobotSigmaDeg = 0.01;
constexpr int kProfilesPerPose = 5;

calib::Pose small_motion(const Eigen::Vector3d& rotation_rad, const Eigen::Vector3d& translation_mm) {
  calib::Pose X = calib::Pose::Identity();
  if (rotation_rad.norm() > 0)
    X.linear() = Eigen::AngleAxisd(rotation_rad.norm(), rotation_rad.normalized()).toRotationMatrix();
  X.translation() = translation_mm;
  return X;
}

// The views the sphere program gives: a few profiles in the middle of each
// hold, with the pose as the robot reports it (off the true one by its
// repeatability).
std::vector<calib::View> sphere_views(const Cell& cell, std::mt19937_64& rng) {
  std::normal_distribution<double> mm(0, kRobotSigmaMm), rad(0, kRobotSigmaDeg / calib::kRadToDeg);
  std::vector<calib::View> views;
  const double dt = 0.001;
  double begin = -1;
  std::uint64_t frame = 0;
  for (double t = 0; t <= cell.motion().duration_s() + dt; t += dt) {
    const bool holding = cell.motion().at(t).holding;
    if (holding && begin < 0) begin = t;
    if (holding || begin < 0) continue;
    const double mid = (begin + t) / 2, span = (t - begin) / 2;
    calib::View v;
    const calib::Pose X_true = cell.motion().at(mid).X_base_tool;
    v.X_base_tool = X_true * small_motion({rad(rng), rad(rng), rad(rng)}, {mm(rng), mm(rng), mm(rng)});
    for (int k = 0; k < kProfilesPerPose; ++k) {
      const auto p = cell.scan(frame++, mid - span / 2 + span * k / kProfilesPerPose);
      for (const auto& q : p.points)
        if (q.valid) v.points_yz.emplace_back(q.y_mm, q.z_mm);
    }
    views.push_back(std::move(v));
    begin = -1;
  }
  return views;
}

// The seam point's error in the tool frame (lateral, vertical) that the
// mounting's error adds, and the one sigma the covariance predicts for it.
struct AtSeam {
  Eigen::Vector2d error, sigma;
};
AtSeam at_seam(const calib::Pose& truth, const calib::Solution& s, const Eigen::Vector3d& p_sensor) {
  const Eigen::Vector3d e = s.X_tool_sensor * p_sensor - truth * p_sensor;
  // d(X * p) for a small rotation w about the sensor's axes and a shift t in
  // the tool frame: R (w x p) + t.
  Eigen::Matrix<double, 3, 6> J;
  Eigen::Matrix3d px;
  px << 0, -p_sensor.z(), p_sensor.y(), p_sensor.z(), 0, -p_sensor.x(), -p_sensor.y(), p_sensor.x(), 0;
  J.leftCols<3>() = -s.X_tool_sensor.linear() * px;
  J.rightCols<3>() = Eigen::Matrix3d::Identity();
  const Eigen::Matrix3d cov = J * s.covariance * J.transpose();
  return {{e.y(), e.z()}, {std::sqrt(cov(1, 1)), std::sqrt(cov(2, 2))}};
}

Summary track(const RunOptions& opt, const char* name) {
  const auto run = run_cell(opt);
  if (!run) {
    std::fprintf(stderr, "%s: %s\n", name, run.error().c_str());
    return {};
  }
  const Cell cell(opt.scenario);
  const Summary s = summarize(compute_errors(cell, *run).ours, &opt.scenario.workpiece);
  std::printf("  %-30s %8.3f %8.3f %7zu\n", name, s.rms, s.max, s.n);
  std::fflush(stdout);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const int seeds = argc > 1 ? std::atoi(argv[1]) : 3;
  RunOptions opt;
  opt.scenario = camsim::cell::standard_scenario();
  const calib::Pose truth = opt.scenario.X_tool_sensor();
  // The drawing: 2 mm and 1.5 degrees off.
  const calib::Pose drawing = truth * small_motion(Eigen::Vector3d(1, -1, 1).normalized() * 1.5 / calib::kRadToDeg,
                                                   Eigen::Vector3d(1, 1, -1).normalized() * 2.0);
  // Where the laser plane meets the seam on the taught path, sensor frame.
  const Cell seam_cell(opt.scenario);
  const auto seen = seam_cell.scan(0, 0.5, false);
  const Eigen::Vector3d p_seam(0, seen.seam_y_mm, seen.seam_z_mm);
  std::printf(
      "# calibration in the cell, then tracking with its mounting: sphere r 20 mm, 12 poses, %d profiles "
      "each, σ %.2f mm, spatter %.0f %%, robot %.2f mm / %.3f deg per axis; seam at (y %.1f, z %.1f) mm\n",
      kProfilesPerPose, opt.scenario.camera.noise_mm, opt.scenario.camera.spatter * 100, kRobotSigmaMm,
      kRobotSigmaDeg, p_seam.y(), p_seam.z());
  std::printf("# mounting's error at the seam (tool frame, mm): calibrated vs the covariance's one sigma\n");
  std::vector<calib::Pose> mounts;
  double sum_e2 = 0, sum_s2 = 0;
  for (int seed = 1; seed <= seeds; ++seed) {
    camsim::cell::Scenario sc = opt.scenario;
    sc.seed = static_cast<std::uint64_t>(seed);
    const auto cell = camsim::cell::make_sphere_cell(sc);
    std::mt19937_64 rng(static_cast<std::uint64_t>(seed) * 7717);
    calib::SolveOptions so;
    so.initial_X_tool_sensor = drawing;
    so.pose_sigma_mm = kRobotSigmaMm;
    so.pose_sigma_deg = kRobotSigmaDeg;
    const calib::Solution s = calib::solve_sphere(sphere_views(*cell, rng), 20, so);
    const AtSeam a = at_seam(truth, s, p_seam);
    std::printf("  seed %2d: %s, lateral %+.3f (σ %.3f), vertical %+.3f (σ %.3f)\n", seed,
                calib::status_name(s.status), a.error.x(), a.sigma.x(), a.error.y(), a.sigma.y());
    if (s.status != calib::Status::kOk) continue;
    sum_e2 += a.error.squaredNorm();
    sum_s2 += a.sigma.squaredNorm();
    mounts.push_back(s.X_tool_sensor);
  }
  calib::Solution as_drawn;
  as_drawn.X_tool_sensor = drawing;
  const AtSeam d = at_seam(truth, as_drawn, p_seam);
  std::printf("  drawing: lateral %+.3f, vertical %+.3f\n", d.error.x(), d.error.y());

  std::printf("# correction error over the standard run, away from the step and gap (mm)\n");
  std::printf("  %-30s %8s %8s %7s\n", "mounting", "rms", "max", "n");
  const Summary with_truth = track(opt, "true");
  double added2 = 0;
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    opt.mount = mounts[i];
    const std::string name = "calibrated, seed " + std::to_string(i + 1);
    const Summary s = track(opt, name.c_str());
    added2 += std::max(0.0, s.rms * s.rms - with_truth.rms * with_truth.rms);
  }
  opt.mount = drawing;
  const Summary naive = track(opt, "drawing (no calibration)");
  const double n = static_cast<double>(std::max<std::size_t>(mounts.size(), 1));
  std::printf(
      "calibrated_tracking: runs=%zu true_rms_mm=%.3f added_rms_mm=%.3f mount_error_at_seam_rms_mm=%.3f "
      "predicted_sigma_at_seam_mm=%.3f drawing_rms_mm=%.3f\n",
      mounts.size(), with_truth.rms, std::sqrt(added2 / n), std::sqrt(sum_e2 / n), std::sqrt(sum_s2 / n),
      naive.rms);
  return 0;
}
