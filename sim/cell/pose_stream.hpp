// The robot controller's side of the pose stream, without sockets: the
// 80-byte pose datagram (little-endian: magic "MKP1", seq, t_robot_us,
// position mm, quaternion w x y z, flags, reserved), the schedule of which
// pose leaves when (fixed cycle, latency with jitter, the controller's own
// drifting clock), and the pose log's CSV rows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>

#include <Eigen/Geometry>

namespace camsim::cell {

class Cell;

inline constexpr std::size_t kPoseDatagramLen = 80;
inline constexpr std::uint32_t kPoseHolding = 1;  // flags bit 0: the robot holds still at a program pose

struct PoseDatagram {
  std::uint32_t seq = 0;
  std::int64_t t_robot_us = 0;
  Eigen::Isometry3d X_base_tool = Eigen::Isometry3d::Identity();
  std::uint32_t flags = 0;
};

std::array<std::uint8_t, kPoseDatagramLen> encode_pose(const PoseDatagram& pose);
// nullopt for another size or magic.
std::optional<PoseDatagram> decode_pose(std::span<const std::uint8_t> bytes);

// One pose as the controller emits it.
struct PoseEmission {
  double t_true_s = 0;  // when the pose was true (since the run's start)
  double t_send_s = 0;  // when its datagram leaves
  PoseDatagram pose;
};

// Every pose of a run in sending order, drawn from the scenario's seed.
class PoseSchedule {
 public:
  explicit PoseSchedule(const Cell& cell);
  // The next pose, or nullopt after the run's end.
  std::optional<PoseEmission> next();

 private:
  const Cell& cell_;
  std::mt19937_64 rng_;
  std::uint64_t k_ = 0;
  double last_send_s_ = 0;
};

// The pose log: what a receiver records, one row per datagram.
inline constexpr const char* kPoseLogHeader = "t_host_ns,seq,t_robot_us,x_mm,y_mm,z_mm,qw,qx,qy,qz,flags\n";
std::string pose_log_row(std::uint64_t t_host_ns, const PoseDatagram& pose);

}  // namespace camsim::cell
