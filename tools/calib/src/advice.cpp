// Advice on weak directions (see advice.hpp). The pose kinds follow from the
// geometry: a rotation about one axis leaves a translation along that axis
// unseen (the sphere's centre absorbs it), and the laser plane's own tilt
// shows only where the plane cuts the sphere off its centre.
#include "advice.hpp"

#include <array>
#include <cmath>

#include <Eigen/Eigenvalues>
#include <fmt/format.h>

namespace mok::calib::detail {
namespace {

constexpr std::array<const char*, 6> kNames = {"rotation about the sensor's x (travel) axis",
                                               "rotation about the sensor's y (lateral) axis",
                                               "rotation about the sensor's z (range) axis",
                                               "translation along the tool's x",
                                               "translation along the tool's y",
                                               "translation along the tool's z"};
constexpr double kShown = 0.4;  // components at least this large name the direction

int dominant(const Eigen::Matrix<double, 6, 1>& v) {
  int k = 0;
  v.cwiseAbs().maxCoeff(&k);
  return k;
}

}  // namespace

std::string describe_direction(const Eigen::Matrix<double, 6, 1>& v) {
  const double norm = v.norm();
  if (norm < 1e-6) return {};
  std::string out;
  for (int k = 0; k < 6; ++k)
    if (std::abs(v(k)) / norm >= kShown) out += (out.empty() ? "" : " with ") + std::string(kNames[k]);
  return out;
}

std::string pose_kind_for(const Eigen::Matrix<double, 6, 1>& v) {
  const int k = dominant(v);
  if (v.norm() < 1e-6) return "add views of the target from more places";
  if (k >= 3) {
    static constexpr std::array<char, 3> kAxis = {'x', 'y', 'z'};
    const char a = kAxis[k - 3];
    const char b = kAxis[(k - 2) % 3];
    const char c = kAxis[(k - 1) % 3];
    return fmt::format(
        "the tool's orientations differ too little about axes across its {0} axis; add poses tilted by "
        "20-30 degrees about the tool's {1} and {2} axes, not only shifts or rotations about {0}",
        a, b, c);
  }
  if (k == 0)
    return "add poses whose laser plane cuts the sphere off its centre (about half the radius to either "
           "side) and poses rolled about the sensor's range axis";
  return "add poses rolled about the sensor's range axis and tilted about its travel axis";
}

void advise(Solution& s, const Eigen::Matrix<double, 6, 6>& scaled_covariance, std::size_t views,
            const SolveOptions& o) {
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, 6, 6>> eig(scaled_covariance);
  const Eigen::Matrix<double, 6, 1> weakest = eig.eigenvectors().col(5);
  s.weakest_direction = describe_direction(weakest);

  const double worst_mm = s.sigma_translation_mm.maxCoeff();
  const double worst_deg = s.sigma_rotation_deg.maxCoeff();
  if (worst_mm > o.max_sigma_mm || worst_deg > o.max_sigma_deg) {
    s.status = Status::kUnconstrained;
    s.reason = fmt::format("the views constrain {} only weakly (sigma {:.3f} mm, {:.3f} deg): {}",
                           s.weakest_direction, worst_mm, worst_deg, pose_kind_for(weakest));
    return;
  }
  double ratio = 0;
  if (o.target_sigma_mm > 0) ratio = std::max(ratio, worst_mm / o.target_sigma_mm);
  if (o.target_sigma_deg > 0) ratio = std::max(ratio, worst_deg / o.target_sigma_deg);
  if (ratio <= 1) return;
  // Independent poses add information: the sigma falls as 1/sqrt(poses).
  const auto total = static_cast<std::size_t>(std::ceil(static_cast<double>(views) * ratio * ratio));
  s.more_poses_needed = total - views;
  s.advice = fmt::format(
      "the sigma ({:.3f} mm, {:.3f} deg) is above the target ({:.3f} mm, {:.3f} deg); weakest is {}. "
      "About {} more poses ({} in all) would reach it: {}",
      worst_mm, worst_deg, o.target_sigma_mm, o.target_sigma_deg, s.weakest_direction, s.more_poses_needed, total,
      pose_kind_for(weakest));
}

}  // namespace mok::calib::detail
