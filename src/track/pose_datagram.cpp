// Pose datagram layout: "MKP1", u32 seq, i64 t_robot_us, f64 x, y, z,
// f64 qw, qx, qy, qz, u32 flags, u32 reserved.
#include "track/pose_datagram.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace mok::track {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic{'M', 'K', 'P', '1'};

template <class T>
T read_le(const std::uint8_t* at) {
  static_assert(std::endian::native == std::endian::little, "the wire format is little-endian");
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

template <class T>
void write_le(std::uint8_t* at, T v) {
  std::memcpy(at, &v, sizeof v);
}

}  // namespace

std::optional<mok_pose_datagram_t> decode_pose_datagram(const std::uint8_t* data, std::size_t len) {
  if (len != kPoseDatagramSize || std::memcmp(data, kMagic.data(), kMagic.size()) != 0) return std::nullopt;
  mok_pose_datagram_t d{};
  d.seq = read_le<std::uint32_t>(data + 4);
  d.t_robot_us = read_le<std::int64_t>(data + 8);
  double* fields[] = {&d.X_base_tool.x_mm, &d.X_base_tool.y_mm, &d.X_base_tool.z_mm, &d.X_base_tool.qw,
                      &d.X_base_tool.qx,   &d.X_base_tool.qy,   &d.X_base_tool.qz};
  for (std::size_t i = 0; i < 7; ++i) *fields[i] = read_le<double>(data + 16 + 8 * i);
  d.flags = read_le<std::uint32_t>(data + 72);
  return d;
}

void encode_pose_datagram(const mok_pose_datagram_t& d, std::uint8_t* out) {
  std::memcpy(out, kMagic.data(), kMagic.size());
  write_le(out + 4, d.seq);
  write_le(out + 8, d.t_robot_us);
  const double fields[] = {d.X_base_tool.x_mm, d.X_base_tool.y_mm, d.X_base_tool.z_mm, d.X_base_tool.qw,
                           d.X_base_tool.qx,   d.X_base_tool.qy,   d.X_base_tool.qz};
  for (std::size_t i = 0; i < 7; ++i) write_le(out + 16 + 8 * i, fields[i]);
  write_le(out + 72, d.flags);
  write_le(out + 76, std::uint32_t{0});
}

}  // namespace mok::track
