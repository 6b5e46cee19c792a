// Datagram layout and timing of the controller's pose stream.
#include "pose_stream.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "cell.hpp"

namespace camsim::cell {
namespace {

static_assert(std::endian::native == std::endian::little, "the pose datagram is copied as little-endian");

constexpr std::array<char, 4> kMagic{'M', 'K', 'P', '1'};

template <class T>
void put(std::uint8_t* b, std::size_t off, T v) {
  std::memcpy(b + off, &v, sizeof v);
}
template <class T>
T get(const std::uint8_t* b, std::size_t off) {
  T v;
  std::memcpy(&v, b + off, sizeof v);
  return v;
}

}  // namespace

std::array<std::uint8_t, kPoseDatagramLen> encode_pose(const PoseDatagram& pose) {
  std::array<std::uint8_t, kPoseDatagramLen> out{};
  std::memcpy(out.data(), kMagic.data(), 4);
  put(out.data(), 4, pose.seq);
  put(out.data(), 8, pose.t_robot_us);
  const Eigen::Vector3d p = pose.X_base_tool.translation();
  const Eigen::Quaterniond q(pose.X_base_tool.linear());
  const double values[7] = {p.x(), p.y(), p.z(), q.w(), q.x(), q.y(), q.z()};
  for (int i = 0; i < 7; ++i) put(out.data(), 16 + 8 * static_cast<std::size_t>(i), values[i]);
  put(out.data(), 72, pose.flags);
  return out;
}

std::optional<PoseDatagram> decode_pose(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kPoseDatagramLen || std::memcmp(bytes.data(), kMagic.data(), 4) != 0) return std::nullopt;
  const std::uint8_t* b = bytes.data();
  PoseDatagram d;
  d.seq = get<std::uint32_t>(b, 4);
  d.t_robot_us = get<std::int64_t>(b, 8);
  double v[7];
  for (int i = 0; i < 7; ++i) v[i] = get<double>(b, 16 + 8 * static_cast<std::size_t>(i));
  d.X_base_tool.translation() = Eigen::Vector3d(v[0], v[1], v[2]);
  d.X_base_tool.linear() = Eigen::Quaterniond(v[3], v[4], v[5], v[6]).normalized().toRotationMatrix();
  d.flags = get<std::uint32_t>(b, 72);
  return d;
}

PoseSchedule::PoseSchedule(const Cell& cell) : cell_(cell), rng_(cell.scenario().seed ^ 0x51ED270B27D6A2C1ull) {}

std::optional<PoseEmission> PoseSchedule::next() {
  const PoseStreamParams& ps = cell_.scenario().poses;
  const double t = static_cast<double>(k_) / ps.rate_hz;
  if (t > cell_.run_s()) return std::nullopt;
  std::uniform_real_distribution<double> jitter(-ps.jitter_ms, ps.jitter_ms);
  PoseEmission e;
  e.t_true_s = t;
  // A controller sends in order: a late datagram holds back the ones after it.
  e.t_send_s = std::max(last_send_s_, t + (ps.latency_ms + jitter(rng_)) / 1000);
  last_send_s_ = e.t_send_s;
  const MotionSample m = cell_.motion().at(t);
  e.pose.seq = static_cast<std::uint32_t>(k_);
  e.pose.t_robot_us = cell_.scenario().robot_clock.at_us(t);
  e.pose.X_base_tool = m.X_base_tool;
  e.pose.flags = m.holding ? kPoseHolding : 0;
  ++k_;
  return e;
}

std::string pose_log_row(std::uint64_t t_host_ns, const PoseDatagram& pose) {
  const Eigen::Vector3d p = pose.X_base_tool.translation();
  const Eigen::Quaterniond q(pose.X_base_tool.linear());
  char line[320];
  std::snprintf(line, sizeof line, "%llu,%u,%lld,%.6f,%.6f,%.6f,%.9f,%.9f,%.9f,%.9f,%u\n",
                static_cast<unsigned long long>(t_host_ns), pose.seq, static_cast<long long>(pose.t_robot_us),
                p.x(), p.y(), p.z(), q.w(), q.x(), q.y(), q.z(), pose.flags);
  return line;
}

}  // namespace camsim::cell
