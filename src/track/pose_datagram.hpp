// The robot's pose datagram (one pose per UDP datagram, 80 bytes,
// little-endian): a pure codec, so receivers, the simulated robot and tests
// agree on the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "mok/mok_track.h"

namespace mok::track {

inline constexpr std::size_t kPoseDatagramSize = MOK_POSE_DATAGRAM_SIZE;

// Nothing for another size or magic; the pose itself is not checked.
std::optional<mok_pose_datagram_t> decode_pose_datagram(const std::uint8_t* data, std::size_t len);
void encode_pose_datagram(const mok_pose_datagram_t& datagram, std::uint8_t* out);

}  // namespace mok::track
