// The laser's view of the calibration targets (see targets.hpp).
#include "targets.hpp"

#include <cmath>
#include <optional>

namespace mok::sim {
namespace {

constexpr double kDegToRad = 0.017453292519943295;

// Samples the columns; `hit(y)` gives the surface's z and unit normal (sensor
// frame) at column y, or nothing.
template <typename Hit>
std::vector<Eigen::Vector2d> sample(const LaserFov& fov, double noise_sigma_mm, std::mt19937_64& rng, Hit hit) {
  std::normal_distribution<double> noise(0.0, noise_sigma_mm);
  const double cos_limit = std::cos(fov.max_incidence_deg * kDegToRad);
  std::vector<Eigen::Vector2d> out;
  for (int j = 0; j < fov.columns; ++j) {
    const double y = fov.half_width_mm * (2.0 * (j + 0.5) / fov.columns - 1.0);
    const auto h = hit(y);
    if (!h) continue;
    const auto& [z, normal] = *h;
    if (z < fov.z_near_mm || z > fov.z_far_mm) continue;
    const Eigen::Vector3d ray = Eigen::Vector3d(0, y, z).normalized();
    if (std::abs(ray.dot(normal)) < cos_limit) continue;
    out.emplace_back(y, z + (noise_sigma_mm > 0 ? noise(rng) : 0.0));
  }
  return out;
}

using Hit = std::optional<std::pair<double, Eigen::Vector3d>>;

}  // namespace

std::vector<Eigen::Vector2d> laser_sphere_profile(const Eigen::Isometry3d& X_base_sensor,
                                                  const Eigen::Vector3d& centre_base, double radius_mm,
                                                  const LaserFov& fov, double noise_sigma_mm,
                                                  std::mt19937_64& rng) {
  const Eigen::Vector3d c = X_base_sensor.inverse() * centre_base;
  // The plane x = 0 cuts the sphere in a circle about (c.y, c.z).
  const double r2 = radius_mm * radius_mm - c.x() * c.x();
  if (r2 <= 0) return {};
  return sample(fov, noise_sigma_mm, rng, [&](double y) -> Hit {
    const double dy = y - c.y();
    if (dy * dy >= r2) return std::nullopt;
    const double z = c.z() - std::sqrt(r2 - dy * dy);
    return std::pair{z, (Eigen::Vector3d(0, y, z) - c) / radius_mm};
  });
}

std::vector<Eigen::Vector2d> laser_plane_profile(const Eigen::Isometry3d& X_base_sensor,
                                                 const Eigen::Vector3d& normal_base, double offset_mm,
                                                 const LaserFov& fov, double noise_sigma_mm,
                                                 std::mt19937_64& rng) {
  // In the sensor frame: n_s . p = d_s.
  const Eigen::Vector3d n = X_base_sensor.linear().transpose() * normal_base;
  const double d = offset_mm - normal_base.dot(X_base_sensor.translation());
  if (std::abs(n.z()) < 1e-9) return {};
  return sample(fov, noise_sigma_mm, rng, [&](double y) -> Hit { return std::pair{(d - n.y() * y) / n.z(), n}; });
}

}  // namespace mok::sim
