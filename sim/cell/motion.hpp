// How the robot moves the torch: the tool's true pose X_base_tool at any time
// of the run. Two programs: a taught straight path driven by a speed profile
// (plateaus joined by ramps of limited acceleration, stops as zero-speed
// legs), and a calibration program that holds still at given poses.
#pragma once

#include <vector>

#include <Eigen/Geometry>

namespace camsim::cell {

struct MotionSample {
  Eigen::Isometry3d X_base_tool = Eigen::Isometry3d::Identity();
  double s_mm = 0;  // distance travelled along the program
  double speed_mm_s = 0;
  bool holding = false;  // the robot holds still at a program pose (the datagram's bit 0)
};

class Motion {
 public:
  virtual ~Motion() = default;
  // The true state at t_s seconds after the run's start (clamped to the program).
  virtual MotionSample at(double t_s) const = 0;
  virtual double duration_s() const = 0;
};

// One plateau of the speed profile: reach speed_mm_s (ramping at the
// acceleration limit) and keep it until duration_s after the leg began.
struct Leg {
  double duration_s = 0;
  double speed_mm_s = 0;
};

class PathMotion final : public Motion {
 public:
  // The tool starts at X_base_start and moves along the start pose's own x
  // axis without turning.
  PathMotion(const Eigen::Isometry3d& X_base_start, std::vector<Leg> legs, double accel_mm_s2);
  MotionSample at(double t_s) const override;
  double duration_s() const override { return duration_s_; }
  // The time at which the tool has travelled s_mm (the first such time).
  double time_at(double s_mm) const;

 private:
  struct Knot {
    double t0, s0, v0, v1, ramp_s, duration_s;
  };
  Eigen::Isometry3d X_base_start_;
  std::vector<Knot> knots_;
  double duration_s_ = 0;
};

// Holds still at each pose for its time, moving between them (linear in
// position, slerp in rotation) in move_s.
struct HoldPose {
  Eigen::Isometry3d X_base_tool = Eigen::Isometry3d::Identity();
  double hold_ms = 0;
};

class PoseProgram final : public Motion {
 public:
  PoseProgram(std::vector<HoldPose> poses, double move_s);
  MotionSample at(double t_s) const override;
  double duration_s() const override;

 private:
  std::vector<HoldPose> poses_;
  double move_s_;
};

}  // namespace camsim::cell
