// The least any decoder of a scan-result payload must do: check the length,
// allocate the point array and convert every point in one pass, plus read
// the time stamp. The benchmarks set the library's decoder against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "brelo/types.hpp"

namespace bench {

struct SinglePassResult {
  std::unique_ptr<mok::brelo::ScanPoint[]> points;
  std::size_t count = 0;
  std::uint64_t pts = 0;
};

// False when the payload is too short for the points it announces.
inline bool decode_points_single_pass(std::span<const std::uint8_t> payload, SinglePassResult& out) {
  const std::uint8_t* b = payload.data();
  const std::size_t len = payload.size();
  if (len < 1216) return false;
  const auto count = static_cast<std::size_t>(b[1214] | (b[1215] << 8));
  if (1216 + 4 * count > len) return false;
  std::uint64_t pts = 0;
  for (int i = 7; i >= 0; --i) pts = (pts << 8) | b[36 + i];
  const float oy = static_cast<float>(b[46] | (b[47] << 8)) / 100.0f;
  const float oz = static_cast<float>(b[48] | (b[49] << 8)) / 100.0f;
  out.points.reset(new mok::brelo::ScanPoint[count]);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* r = b + 1216 + 4 * i;
    out.points[i].y = static_cast<float>(r[2] | (r[3] << 8)) / 100.0f - oy;
    out.points[i].z = static_cast<float>(r[0] | (r[1] << 8)) / 100.0f - oz;
  }
  out.count = count;
  out.pts = pts;
  return true;
}

}  // namespace bench
