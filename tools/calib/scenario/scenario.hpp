// A simulated calibration: a true mounting, a drawing's mounting a little
// off, a sphere somewhere in the cell, and the views the robot's poses give
// of it (profile noise, and the robot's pose error that moves a whole view).
// Shared by the calibration benchmark and tests; the laser's view comes from
// the simulated cell's target geometry.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "mok_calib/plan.hpp"
#include "mok_calib/solve.hpp"
#include "targets.hpp"

namespace mok::calib::scenario {

struct Cell {
  Pose X_tool_sensor_true = Pose::Identity();
  Pose X_tool_sensor_drawing = Pose::Identity();
  Eigen::Vector3d centre_base = Eigen::Vector3d::Zero();
  double radius_mm = 25;
  mok::sim::LaserFov fov;
  double profile_sigma_mm = 0.05;
  double pose_sigma_mm = 0;  // per axis
  double pose_sigma_deg = 0;
};

// A cell drawn from the seed: the mounting ahead of the torch and tilted,
// the drawing off by about 2 mm and 1.5 degrees.
Cell make_cell(std::uint64_t seed);

// The proposer's options for this cell as a person would set them: the
// sphere's place known to a few mm, the drawing's mounting.
PlanOptions plan_for(const Cell& cell, std::size_t poses, std::uint64_t seed);

// What the robot reports and the camera sees at each commanded pose: the
// robot is really at X_base_tool * error (error drawn per pose).
std::vector<View> sphere_views(const Cell& cell, const std::vector<Pose>& X_base_tool, std::mt19937_64& rng);
std::vector<View> plane_views(const Cell& cell, const std::vector<Pose>& X_base_tool,
                              const Eigen::Vector3d& normal_base, double offset_mm, std::mt19937_64& rng);

// The estimate's error in the solver's coordinates: rotation about the
// sensor's axes (rad), translation in the tool frame (mm).
Eigen::Matrix<double, 6, 1> local_error(const Pose& truth, const Pose& estimate);

}  // namespace mok::calib::scenario
