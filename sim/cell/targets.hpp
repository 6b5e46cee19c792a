// What the laser line sees of a calibration target: the laser plane (the
// sensor's y-z plane at X_base_sensor) cut with a sphere (a circle) or a
// plane (a line), sampled column by column as the camera reports a profile,
// within its field of view and with range noise. Pure functions.
#pragma once

#include <random>
#include <vector>

#include <Eigen/Geometry>

namespace mok::sim {

struct LaserFov {
  double half_width_mm = 40;  // |y| at most
  double z_near_mm = 80;      // the range window
  double z_far_mm = 240;
  int columns = 640;  // profile points across the full width
  // Surfaces seen more obliquely than this return no light to the camera.
  double max_incidence_deg = 75;
};

// Profile points (y, z) in the sensor frame: per column the surface point
// nearest the sensor along +z, with N(0, noise_sigma_mm) added to z.
std::vector<Eigen::Vector2d> laser_sphere_profile(const Eigen::Isometry3d& X_base_sensor,
                                                  const Eigen::Vector3d& centre_base, double radius_mm,
                                                  const LaserFov& fov, double noise_sigma_mm,
                                                  std::mt19937_64& rng);

// The plane n . p_base = offset_mm (n a unit normal).
std::vector<Eigen::Vector2d> laser_plane_profile(const Eigen::Isometry3d& X_base_sensor,
                                                 const Eigen::Vector3d& normal_base, double offset_mm,
                                                 const LaserFov& fov, double noise_sigma_mm, std::mt19937_64& rng);

}  // namespace mok::sim
