// The pose proposer (see plan.hpp). Tilt directions follow the golden angle
// so that any few consecutive poses already spread around the sphere; tilts,
// rolls and cut offsets cycle through their ranges out of step.
#include "mok_calib/plan.hpp"

#include <cmath>
#include <random>

namespace mok::calib {

std::vector<Pose> propose_sphere_poses(const PlanOptions& o) {
  constexpr double kGoldenAngle = 2.399963229728653;
  const double deg = 1.0 / kRadToDeg;
  std::mt19937_64 rng(o.seed);
  std::uniform_real_distribution<double> jitter(-1.0, 1.0);
  const bool jittered = o.seed != 0;

  // The untilted sensor: z along look_base, x anywhere across it.
  const Eigen::Vector3d z0 = o.look_base.normalized();
  const Eigen::Vector3d x0 = z0.unitOrthogonal();
  Eigen::Matrix3d R0;
  R0 << x0, z0.cross(x0), z0;
  const Eigen::Vector3d across = x0;

  std::vector<Pose> out;
  for (std::size_t k = 0; k < o.poses; ++k) {
    const double kd = static_cast<double>(k);
    const double azimuth = kGoldenAngle * kd + (jittered ? 0.3 * jitter(rng) : 0.0);
    // Tilts cycle 1, 2/3, 1/3 of the maximum (the first pose looks straight).
    double tilt = k == 0 ? 0.0 : o.max_tilt_deg * (1.0 - static_cast<double>(k % 3) / 3.0);
    double roll = o.max_roll_deg * std::sin(1.7 * kd + 0.5);
    double cut = o.max_cut_offset * o.radius_mm * std::sin(2.3 * kd + 1.1);
    const double lateral = o.max_lateral_mm * std::sin(2.9 * kd + 0.3);
    const double depth = o.max_depth_mm * std::cos(1.3 * kd + 0.7);
    if (jittered) {
      tilt *= 1.0 + 0.15 * jitter(rng);
      roll += 0.1 * o.max_roll_deg * jitter(rng);
      cut += 0.1 * o.max_cut_offset * o.radius_mm * jitter(rng);
    }
    const Eigen::Vector3d tilt_axis = Eigen::AngleAxisd(azimuth, z0) * across;
    const Eigen::Matrix3d R_base_sensor = Eigen::AngleAxisd(tilt * deg, tilt_axis).toRotationMatrix() * R0 *
                                          Eigen::AngleAxisd(roll * deg, Eigen::Vector3d::UnitZ());
    // Place the sensor so that the centre sits at (cut, lateral, standoff + depth) in its frame.
    Pose X_base_sensor = Pose::Identity();
    X_base_sensor.linear() = R_base_sensor;
    X_base_sensor.translation() =
        o.centre_base - R_base_sensor * Eigen::Vector3d(cut, lateral, o.standoff_mm + depth);
    out.push_back(X_base_sensor * o.X_tool_sensor.inverse());
  }
  return out;
}

}  // namespace mok::calib
