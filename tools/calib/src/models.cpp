// The sphere and plane targets (see models.hpp).
#include "models.hpp"

#include <algorithm>

#include <Eigen/Dense>
#include <ceres/sphere_manifold.h>
#include <fmt/format.h>

namespace mok::calib::detail {
namespace {

class Sphere final : public TargetModel {
 public:
  explicit Sphere(double radius_mm) : radius_mm_(radius_mm) {}

  // Algebraic fit |p|^2 = 2 c . p + k over all points: linear, needs no start.
  void init(const std::vector<std::vector<Eigen::Vector3d>>& p_base_by_view) override {
    std::size_t n = 0;
    for (const auto& v : p_base_by_view) n += v.size();
    Eigen::MatrixXd A(n, 4);
    Eigen::VectorXd b(n);
    std::size_t row = 0;
    for (const auto& v : p_base_by_view)
      for (const auto& p : v) {
        A.row(row) << 2 * p.x(), 2 * p.y(), 2 * p.z(), 1.0;
        b(row++) = p.squaredNorm();
      }
    const Eigen::Vector4d x = A.colPivHouseholderQr().solve(b);
    for (int i = 0; i < 3; ++i) centre_[i] = x(i);
  }
  void add_blocks(ceres::Problem& problem) override { problem.AddParameterBlock(centre_, 3); }
  std::vector<double*> blocks() override { return {centre_}; }
  ceres::CostFunction* cost(const PointMap& map, double inv_sigma, std::size_t, double* mount, double* correction,
                            std::vector<double*>& blocks_out) override {
    blocks_out = {mount, correction, centre_};
    return new ceres::AutoDiffCostFunction<SphereResidual, 1, 6, 6, 3>(
        new SphereResidual{map, radius_mm_, inv_sigma});
  }
  double distance_mm(const Eigen::Vector3d& p_base, std::size_t) const override {
    return (p_base - Eigen::Vector3d(centre_[0], centre_[1], centre_[2])).norm() - radius_mm_;
  }
  void write(Solution& out) const override {
    out.centre_base = Eigen::Vector3d(centre_[0], centre_[1], centre_[2]);
  }

 private:
  double radius_mm_;
  double centre_[3] = {0, 0, 0};
};

class Planes final : public TargetModel {
 public:
  Planes(std::vector<std::size_t> view_plane, std::size_t planes)
      : view_plane_(std::move(view_plane)), normal_(planes), offset_(planes) {}

  // Per plane: the normal is the direction of least spread of its points.
  void init(const std::vector<std::vector<Eigen::Vector3d>>& p_base_by_view) override {
    for (std::size_t k = 0; k < normal_.size(); ++k) {
      Eigen::Vector3d mean = Eigen::Vector3d::Zero();
      std::size_t n = 0;
      for (std::size_t i = 0; i < p_base_by_view.size(); ++i)
        if (view_plane_[i] == k)
          for (const auto& p : p_base_by_view[i]) mean += p, ++n;
      mean /= static_cast<double>(std::max<std::size_t>(n, 1));
      Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
      for (std::size_t i = 0; i < p_base_by_view.size(); ++i)
        if (view_plane_[i] == k)
          for (const auto& p : p_base_by_view[i]) scatter += (p - mean) * (p - mean).transpose();
      const Eigen::Vector3d normal = Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(scatter).eigenvectors().col(0);
      for (int i = 0; i < 3; ++i) normal_[k][i] = normal(i);
      offset_[k] = normal.dot(mean);
    }
  }
  void add_blocks(ceres::Problem& problem) override {
    for (std::size_t k = 0; k < normal_.size(); ++k) {
      problem.AddParameterBlock(normal_[k].data(), 3, new ceres::SphereManifold<3>());
      problem.AddParameterBlock(&offset_[k], 1);
    }
  }
  std::vector<double*> blocks() override {
    std::vector<double*> out;
    for (std::size_t k = 0; k < normal_.size(); ++k) out.insert(out.end(), {normal_[k].data(), &offset_[k]});
    return out;
  }
  ceres::CostFunction* cost(const PointMap& map, double inv_sigma, std::size_t view, double* mount,
                            double* correction, std::vector<double*>& blocks_out) override {
    const std::size_t k = view_plane_[view];
    blocks_out = {mount, correction, normal_[k].data(), &offset_[k]};
    return new ceres::AutoDiffCostFunction<PlaneResidual, 1, 6, 6, 3, 1>(new PlaneResidual{map, inv_sigma});
  }
  double distance_mm(const Eigen::Vector3d& p_base, std::size_t view) const override {
    const std::size_t k = view_plane_[view];
    return Eigen::Vector3d(normal_[k][0], normal_[k][1], normal_[k][2]).dot(p_base) - offset_[k];
  }
  std::string too_few_views(const std::vector<std::size_t>& used, const SolveOptions& o) const override {
    for (std::size_t k = 0; k < normal_.size(); ++k) {
      const auto n = static_cast<std::size_t>(
          std::count_if(used.begin(), used.end(), [&](std::size_t i) { return view_plane_[i] == k; }));
      if (n < o.min_views_per_plane)
        return fmt::format(
            "plate {} has {} views with at least {} points on it; a plate needs {} (a line on a plate fixes only "
            "two of a view's six directions): show it from more poses",
            k + 1, n, o.min_points_per_view, o.min_views_per_plane);
    }
    return {};
  }
  void write(Solution& out) const override {
    out.planes_base.clear();
    for (std::size_t k = 0; k < normal_.size(); ++k)
      out.planes_base.emplace_back(normal_[k][0], normal_[k][1], normal_[k][2], offset_[k]);
  }

 private:
  std::vector<std::size_t> view_plane_;
  std::vector<std::array<double, 3>> normal_;
  std::vector<double> offset_;
};

}  // namespace

std::unique_ptr<TargetModel> make_sphere(double radius_mm) { return std::make_unique<Sphere>(radius_mm); }
std::unique_ptr<TargetModel> make_planes(std::vector<std::size_t> view_plane, std::size_t planes) {
  return std::make_unique<Planes>(std::move(view_plane), planes);
}

}  // namespace mok::calib::detail
