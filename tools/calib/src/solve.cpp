// The calibration's flow: closed-form start, a robust solve with the noise
// scale learnt from the residuals, then (when the robot's repeatability is
// given) a solve with a small correction per pose under that prior, and the
// covariance of the mounting at the solution with its rank checked.
#include "mok_calib/solve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include <Eigen/Eigenvalues>
#include <fmt/format.h>
#include <glog/logging.h>

#include "advice.hpp"
#include "models.hpp"

namespace mok::calib {
namespace {

using detail::PointMap;
using detail::TargetModel;
using Vec6 = std::array<double, 6>;

constexpr double kDegToRad = 1.0 / kRadToDeg;
// Relative eigenvalue below which the information matrix counts as singular.
constexpr double kRankTolerance = 1e-12;
// A repeatability given as 0 on one axis while the other is not: nearly exact.
constexpr double kTinySigma = 1e-7;

Eigen::Matrix3d exp_rotation(const double* r) {
  const Eigen::Vector3d v(r[0], r[1], r[2]);
  const double angle = v.norm();
  if (angle < 1e-15) return Eigen::Matrix3d::Identity();
  return Eigen::AngleAxisd(angle, v / angle).toRotationMatrix();
}

Pose apply(const Pose& X, const double* delta) {
  Pose out = X;
  out.linear() = X.linear() * exp_rotation(delta);
  out.translation() = X.translation() + Eigen::Vector3d(delta[3], delta[4], delta[5]);
  return out;
}

Eigen::Vector3d to_base(const Pose& X_tool_sensor, const Pose& X_base_tool, const Vec6& correction,
                        const Eigen::Vector2d& yz) {
  // The pose's correction acts in the tool frame: X_base_tool * (Exp(r), d).
  const Eigen::Vector3d p_tool = X_tool_sensor * Eigen::Vector3d(0, yz.x(), yz.y());
  const Eigen::Vector3d p_moved =
      exp_rotation(correction.data()) * p_tool + Eigen::Vector3d(correction[3], correction[4], correction[5]);
  return X_base_tool * p_moved;
}

// Ceres reports a singular step (a degenerate pose set) on standard error
// through its logging library; the refusal says it better.
void quiet_solver_log() {
  static std::once_flag once;
  std::call_once(once, [] { FLAGS_minloglevel = google::GLOG_ERROR; });
}

class Fit {
 public:
  Fit(const std::vector<View>& views, TargetModel& model, const SolveOptions& options)
      : views_(views), model_(model), o_(options), corrections_(views.size(), Vec6{}), outlier_(views.size()) {}

  Solution run() {
    quiet_solver_log();
    Solution s;
    s.view_rms_mm.assign(views_.size(), std::numeric_limits<double>::quiet_NaN());
    for (std::size_t i = 0; i < views_.size(); ++i) {
      s.view_points.push_back(views_[i].points_yz.size());
      if (views_[i].points_yz.size() >= o_.min_points_per_view) used_.push_back(i);
    }
    s.views_used = used_.size();
    if (used_.size() < o_.min_views) {
      s.status = Status::kTooFewViews;
      s.reason = fmt::format("only {} of {} views have at least {} points on the target; {} are needed",
                             used_.size(), views_.size(), o_.min_points_per_view, o_.min_views);
      return s;
    }
    if (std::string why = model_.too_few_views(used_, o_); !why.empty()) {
      s.status = Status::kTooFewViews;
      s.reason = std::move(why);
      return s;
    }
    X_ = o_.initial_X_tool_sensor;
    std::vector<std::vector<Eigen::Vector3d>> mapped(views_.size());
    for (std::size_t i : used_)
      for (const auto& yz : views_[i].points_yz) mapped[i].push_back(to_base(X_, views_[i].X_base_tool, {}, yz));
    model_.init(mapped);

    // The first pass learns the noise scale with a generous guess; the
    // others weigh the points by it.
    const bool with_poses = o_.pose_sigma_mm > 0 || o_.pose_sigma_deg > 0;
    sigma_mm_ = 1.0;
    bool converged = false;
    for (int pass = 0; pass < 3; ++pass) {
      converged = solve(with_poses && pass > 0);
      sigma_mm_ = std::max(robust_sigma(), 1e-9);
      mark_outliers();
    }
    summarise(s);
    if (!converged) {
      s.status = Status::kNotConverged;
      s.reason = "the solver stopped before converging; check the starting mounting and the target's size";
      return s;
    }
    if (o_.max_noise_sigma_mm > 0 && s.noise_sigma_mm > o_.max_noise_sigma_mm) {
      s.status = Status::kPoorFit;
      s.reason = fmt::format(
          "the points scatter {:.3f} mm about the target (at most {:.3f} mm expected): were profiles taken while "
          "the robot moved, paired with the wrong poses, or is the radius wrong?",
          s.noise_sigma_mm, o_.max_noise_sigma_mm);
      return s;
    }
    covariance(s, with_poses);
    return s;
  }

 private:
  // Builds the problem about the current estimate (mounting correction 0).
  void build(ceres::Problem& problem, double* mount, bool with_poses) {
    problem.AddParameterBlock(mount, 6);
    model_.add_blocks(problem);
    auto* loss = new ceres::HuberLoss(o_.huber_sigmas);
    for (std::size_t i : used_) {
      problem.AddParameterBlock(corrections_[i].data(), 6);
      PointMap map{X_.linear(),
                   X_.translation(),
                   views_[i].X_base_tool.linear(),
                   views_[i].X_base_tool.translation(),
                   0,
                   0};
      for (std::size_t k = 0; k < views_[i].points_yz.size(); ++k) {
        if (!outlier_[i].empty() && outlier_[i][k]) continue;
        const Eigen::Vector2d& yz = views_[i].points_yz[k];
        map.y = yz.x();
        map.z = yz.y();
        std::vector<double*> blocks;
        auto* cost = model_.cost(map, 1.0 / sigma_mm_, i, mount, corrections_[i].data(), blocks);
        problem.AddResidualBlock(cost, loss, blocks);
      }
      if (with_poses) {
        problem.AddResidualBlock(new ceres::AutoDiffCostFunction<detail::PosePrior, 6, 6>(new detail::PosePrior{
                                     1.0 / std::max(o_.pose_sigma_deg * kDegToRad, kTinySigma),
                                     1.0 / std::max(o_.pose_sigma_mm, kTinySigma)}),
                                 nullptr, corrections_[i].data());
      } else {
        problem.SetParameterBlockConstant(corrections_[i].data());
      }
    }
  }

  bool solve(bool with_poses) {
    double mount[6] = {0, 0, 0, 0, 0, 0};
    ceres::Problem problem;
    build(problem, mount, with_poses);
    ceres::Solver::Options options;
    options.linear_solver_type = ceres::DENSE_SCHUR;
    options.logging_type = ceres::SILENT;
    options.max_num_iterations = 100;
    options.function_tolerance = 1e-10;
    options.parameter_tolerance = 1e-10;
    options.gradient_tolerance = 1e-12;
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    if (summary.termination_type != ceres::CONVERGENCE) {
      // The Schur complement can be singular where the data leave a pose's
      // correction to its prior alone; QR does not form it.
      options.linear_solver_type = ceres::DENSE_QR;
      ceres::Solve(options, &problem, &summary);
    }
    X_ = apply(X_, mount);
    return summary.termination_type == ceres::CONVERGENCE;
  }

  std::vector<double> residuals_of(std::size_t i) const {
    std::vector<double> out;
    for (const auto& yz : views_[i].points_yz)
      out.push_back(model_.distance_mm(to_base(X_, views_[i].X_base_tool, corrections_[i], yz), i));
    return out;
  }

  double robust_sigma() const {
    std::vector<double> all;
    for (std::size_t i : used_)
      for (double r : residuals_of(i)) all.push_back(std::abs(r));
    auto mid = all.begin() + static_cast<std::ptrdiff_t>(all.size() / 2);
    std::nth_element(all.begin(), mid, all.end());
    return 1.4826 * *mid;
  }

  // Spatter and reflections lie on one side of the surface (towards the
  // sensor): the Huber loss bounds their pull but does not remove it, and
  // that one-sided pull is a bias the covariance knows nothing of. Points
  // far beyond the noise are left out of the next pass altogether.
  void mark_outliers() {
    for (auto& v : outlier_) v.clear();
    if (!(o_.reject_sigmas > 0)) return;
    for (std::size_t i : used_) {
      const auto r = residuals_of(i);
      outlier_[i].resize(r.size());
      for (std::size_t k = 0; k < r.size(); ++k) outlier_[i][k] = std::abs(r[k]) > o_.reject_sigmas * sigma_mm_;
    }
  }

  void summarise(Solution& s) const {
    s.X_tool_sensor = X_;
    model_.write(s);
    s.noise_sigma_mm = sigma_mm_;
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i : used_) {
      double view_sum = 0;
      const auto r = residuals_of(i);
      for (double v : r) view_sum += v * v;
      s.view_rms_mm[i] = std::sqrt(view_sum / static_cast<double>(r.size()));
      sum += view_sum;
      n += r.size();
    }
    s.residual_rms_mm = std::sqrt(sum / static_cast<double>(n));
  }

  // The information matrix J^T J at the solution (points weighed by the
  // learnt noise, the pose priors included), rotations scaled to mm by the
  // sensor's working distance so that its eigenvalues compare.
  void covariance(Solution& s, bool with_poses) {
    double mount[6] = {0, 0, 0, 0, 0, 0};
    ceres::Problem problem;
    build(problem, mount, with_poses);
    ceres::Problem::EvaluateOptions eval;
    eval.parameter_blocks = {mount};
    for (double* b : model_.blocks()) eval.parameter_blocks.push_back(b);
    if (with_poses)
      for (std::size_t i : used_) eval.parameter_blocks.push_back(corrections_[i].data());
    ceres::CRSMatrix crs;
    problem.Evaluate(eval, nullptr, nullptr, nullptr, &crs);
    Eigen::MatrixXd J = Eigen::MatrixXd::Zero(crs.num_rows, crs.num_cols);
    for (int r = 0; r < crs.num_rows; ++r)
      for (int k = crs.rows[r]; k < crs.rows[r + 1]; ++k) J(r, crs.cols[k]) = crs.values[k];

    double lever_mm = 0;
    std::size_t n = 0;
    for (std::size_t i : used_)
      for (const auto& yz : views_[i].points_yz) lever_mm += (X_ * Eigen::Vector3d(0, yz.x(), yz.y())).norm(), ++n;
    lever_mm = std::max(lever_mm / static_cast<double>(n), 1.0);
    Eigen::VectorXd scale = Eigen::VectorXd::Ones(J.cols());
    scale.head<3>().setConstant(1.0 / lever_mm);
    const Eigen::MatrixXd H = scale.asDiagonal() * (J.transpose() * J) * scale.asDiagonal();
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eig(H);
    const Eigen::VectorXd& lambda = eig.eigenvalues();
    if (!(lambda(0) > kRankTolerance * lambda(lambda.size() - 1))) {
      const Eigen::Matrix<double, 6, 1> null = eig.eigenvectors().col(0).head<6>();
      s.weakest_direction = detail::describe_direction(null);
      s.status = Status::kUnconstrained;
      s.reason = fmt::format("the views leave {} unconstrained: {}",
                             s.weakest_direction.empty() ? std::string("the target's place") : s.weakest_direction,
                             detail::pose_kind_for(null));
      return;
    }
    const Eigen::MatrixXd inverse =
        eig.eigenvectors() * lambda.cwiseInverse().asDiagonal() * eig.eigenvectors().transpose();
    const Eigen::Matrix<double, 6, 6> scaled = inverse.topLeftCorner<6, 6>();
    Eigen::Matrix<double, 6, 1> unscale;
    unscale << Eigen::Vector3d::Constant(1.0 / lever_mm), Eigen::Vector3d::Ones();
    s.covariance = unscale.asDiagonal() * scaled * unscale.asDiagonal();
    for (int k = 0; k < 3; ++k) {
      s.sigma_rotation_deg(k) = std::sqrt(s.covariance(k, k)) * kRadToDeg;
      s.sigma_translation_mm(k) = std::sqrt(s.covariance(3 + k, 3 + k));
    }
    detail::advise(s, scaled, used_.size(), o_);
  }

  const std::vector<View>& views_;
  TargetModel& model_;
  const SolveOptions& o_;
  std::vector<Vec6> corrections_;
  std::vector<std::size_t> used_;
  Pose X_ = Pose::Identity();
  double sigma_mm_ = 1.0;
  std::vector<std::vector<char>> outlier_;  // per view and point; a view's empty: none marked
};

}  // namespace

const char* status_name(Status s) {
  switch (s) {
    case Status::kOk:
      return "ok";
    case Status::kTooFewViews:
      return "too few views on the target";
    case Status::kUnconstrained:
      return "pose set leaves the mounting unconstrained";
    case Status::kNotConverged:
      return "not converged";
    case Status::kPoorFit:
      return "poor fit";
  }
  return "unknown";
}

namespace {

// With search_start, a start refused for its fit is tried in the other
// quarter-turn orientations (the 24 rotations that map the axes onto axes).
template <class MakeModel>
Solution solve_from(const std::vector<View>& views, const SolveOptions& options, MakeModel make_model) {
  Solution first = Fit(views, *make_model(), options).run();
  if (!options.search_start || (first.status != Status::kNotConverged && first.status != Status::kPoorFit))
    return first;
  std::optional<Solution> best;
  SolveOptions o = options;
  for (int perm = 0; perm < 6; ++perm)
    for (int signs = 0; signs < 8; ++signs) {
      static constexpr int kAxes[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
      Eigen::Matrix3d Q = Eigen::Matrix3d::Zero();
      for (int c = 0; c < 3; ++c) Q(kAxes[perm][c], c) = (signs >> c) & 1 ? -1.0 : 1.0;
      if (Q.determinant() < 0 || Q.isIdentity()) continue;
      o.initial_X_tool_sensor.linear() = options.initial_X_tool_sensor.linear() * Q;
      Solution s = Fit(views, *make_model(), o).run();
      if (s.status == Status::kOk && (!best || s.residual_rms_mm < best->residual_rms_mm)) best = std::move(s);
    }
  if (best) return std::move(*best);
  first.reason +=
      "; starting from the other 23 quarter-turn orientations did not help: give the drawing's mounting";
  return first;
}

}  // namespace

Solution solve_sphere(const std::vector<View>& views, double radius_mm, const SolveOptions& options) {
  return solve_from(views, options, [&] { return detail::make_sphere(radius_mm); });
}

Solution solve_planes(const std::vector<std::vector<View>>& views_by_plane, const SolveOptions& options) {
  std::vector<View> views;
  std::vector<std::size_t> view_plane;
  for (std::size_t k = 0; k < views_by_plane.size(); ++k)
    for (const auto& v : views_by_plane[k]) views.push_back(v), view_plane.push_back(k);
  return solve_from(views, options, [&] { return detail::make_planes(view_plane, views_by_plane.size()); });
}

}  // namespace mok::calib
