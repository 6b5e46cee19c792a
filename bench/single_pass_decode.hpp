// The least a receiver of a scan-result payload must do to read the fields a
// host uses (profile points, seam points, found / index / width / height /
// angle, segments, time stamp): check the length, allocate the point array
// and convert each field once, straight from the bytes. The benchmarks set
// the library's decoder against it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "brelo/types.hpp"
#include "common/wire.hpp"

namespace bench {

struct SinglePassSegment {
  float value = 0.0f;
  std::int32_t type = 0;
  float ay = 0.0f, az = 0.0f, by = 0.0f, bz = 0.0f, cy = 0.0f, cz = 0.0f;
};

struct SinglePassResult {
  std::unique_ptr<mok::brelo::ScanPoint[]> points;
  std::size_t count = 0;
  std::uint64_t pts = 0;
  std::array<float, 2 * mok::brelo::kSeamPointCount> seam_yz{};
  std::array<SinglePassSegment, mok::brelo::kSegmentCount> segments{};
  float width = 0.0f, height = 0.0f, angle = 0.0f;
  std::uint16_t seam_index = 0;
  bool found = false;
};

// False when the payload is too short for the points it announces.
inline bool decode_single_pass(std::span<const std::uint8_t> payload, SinglePassResult& out) {
  namespace at = mok::wire::scan;
  const std::uint8_t* b = payload.data();
  const std::size_t len = payload.size();
  const auto u16 = [b](std::size_t i) { return static_cast<std::uint16_t>(b[i] | (b[i + 1] << 8)); };
  const auto i16 = [&](std::size_t i) { return static_cast<std::int16_t>(u16(i)); };
  const auto u32 = [&](std::size_t i) { return static_cast<std::uint32_t>(u16(i) | (u16(i + 2) << 16)); };
  if (len < at::kPointCountAt + 2) return false;
  const std::size_t count = u16(at::kPointCountAt);
  constexpr std::size_t first = at::kPointCountAt + 2;
  if (first + at::kPointRecordLen * count > len) return false;
  const float oy = static_cast<float>(u16(at::kOffsetYAt)) / 100.0f;
  const float oz = static_cast<float>(u16(at::kOffsetZAt)) / 100.0f;
  const auto y_at = [&](std::size_t i) { return static_cast<float>(u16(i + 2)) / 100.0f - oy; };
  const auto z_at = [&](std::size_t i) { return static_cast<float>(u16(i)) / 100.0f - oz; };

  out.pts = static_cast<std::uint64_t>(u32(at::kPtsAt)) | (static_cast<std::uint64_t>(u32(at::kPtsAt + 4)) << 32);
  out.found = u16(at::kSeamFoundAt) != 0;
  out.seam_index = u16(at::kSeamIdxAt);
  out.width = static_cast<float>(i16(at::kSeamWidthAt)) / 100.0f;
  out.height = static_cast<float>(i16(at::kSeamHeightAt)) / 100.0f;
  out.angle = static_cast<float>(i16(at::kSeamAngleAt));
  for (std::size_t k = 0; k < mok::brelo::kSeamPointCount; ++k) {
    out.seam_yz[2 * k] = y_at(at::kSeamPointsAt + 4 * k);
    out.seam_yz[2 * k + 1] = z_at(at::kSeamPointsAt + 4 * k);
  }
  for (std::size_t k = 0; k < mok::brelo::kSegmentCount; ++k) {
    const std::size_t s = at::kSegmentsAt + at::kSegmentLen * k;
    const std::uint32_t value = u32(s + 8);
    SinglePassSegment& seg = out.segments[k];
    std::memcpy(&seg.value, &value, sizeof value);
    seg.type = static_cast<std::int32_t>(u32(s + 24));
    seg.ay = y_at(s + 12), seg.az = z_at(s + 12);
    seg.by = y_at(s + 16), seg.bz = z_at(s + 16);
    seg.cy = y_at(s + 20), seg.cz = z_at(s + 20);
  }
  out.points.reset(new mok::brelo::ScanPoint[count]);
  mok::brelo::ScanPoint* points = out.points.get();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* r = b + first + 4 * i;
    points[i].y = static_cast<float>(r[2] | (r[3] << 8)) / 100.0f - oy;
    points[i].z = static_cast<float>(r[0] | (r[1] << 8)) / 100.0f - oz;
  }
  out.count = count;
  return true;
}

}  // namespace bench
