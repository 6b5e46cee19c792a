// Writes the scan-result block field by field at fixed offsets; everything not
// written stays zero. Seam info and segments are derived from the profile so
// that a reader sees the same geometry in every part of the packet.
#include "scan_payload.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/wire.hpp"

namespace camsim {
namespace {

using namespace mok::wire::scan;  // the payload's offsets

template <class T>
void put(std::uint8_t* base, std::size_t off, T v) {
  using U = std::make_unsigned_t<T>;
  auto u = static_cast<U>(v);
  for (std::size_t i = 0; i < sizeof(T); ++i) base[off + i] = static_cast<std::uint8_t>(u >> (8 * i));
}

void put_f32(std::uint8_t* base, std::size_t off, float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, 4);
  put(base, off, bits);
}

// Rounds to nearest and clamps; runs twice per point at up to 40 million points a second.
std::uint16_t to_u16(double v) {
  if (!(v > 0)) return 0;  // NaN too
  if (v >= 0xFFFF) return 0xFFFF;
  return static_cast<std::uint16_t>(v + 0.5);
}
std::int16_t to_i16(double v) {
  return static_cast<std::int16_t>(std::clamp<long>(std::lround(v), -0x8000, 0x7FFF));
}
std::int32_t hundredths(double v) { return static_cast<std::int32_t>(std::lround(v * 100)); }

void put_point(std::uint8_t* base, std::size_t off, const Point& p) {
  const RawPoint r = encode_point(p);
  put(base, off, r.z);
  put(base, off + 2, r.y);
}

}  // namespace

RawPoint encode_point(const Point& p) {
  if (!p.valid) return {};
  return RawPoint{to_u16((double{p.z} * 100) + kZOffsetHundredths),
                  to_u16((double{p.y} * 100) + kYOffsetHundredths)};
}

void encode_scan_payload(const Profile& profile, std::uint64_t pts, std::vector<std::uint8_t>& out) {
  const std::size_t count = std::min<std::size_t>(profile.points.size(), kMaxScanPoints);
  const std::size_t len = scan_payload_len(count);
  out.assign(len, 0);
  std::uint8_t* b = out.data();

  b[kFormatAt] = kScanFormat;
  b[kScaledAt] = 1;
  put(b, kFrameCounterAt, static_cast<std::uint32_t>(profile.frame));
  put(b, kDeclaredLenAt, static_cast<std::uint16_t>(std::min<std::size_t>(len - 36, 0xFFFF)));
  put(b, kPtsAt, pts);
  put(b, kOffsetYAt, kYOffsetHundredths);
  put(b, kOffsetZAt, kZOffsetHundredths);
  put(b, kPointCountAt, static_cast<std::uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) put_point(b, kScanFixedLen + 4 * i, profile.points[i]);

  if (!profile.seam_found) return;  // no seam: every seam field stays zero
  put<std::uint16_t>(b, kSeamFoundAt, 1);
  put(b, kSeamIdxAt, profile.seam_point_idx);
  put(b, kSeamWidthAt, to_i16(double{profile.seam_width} * 100));
  put(b, kSeamHeightAt, to_i16(double{profile.seam_height} * 100));
  put(b, kSeamAngleAt, profile.seam_angle);
  for (std::size_t k = 0; k < 8; ++k) put_point(b, kSeamPointsAt + 4 * k, profile.seam_points[k]);

  // Seam info: head = joint code and segment count; values = the eight seam
  // points (y, z) then width and height; tail = frame; word = quality in percent.
  b[kInfoHeadAt] = 1;  // version of this block's layout
  b[kInfoHeadAt + 1] = 0;
  b[kInfoHeadAt + 2] = static_cast<std::uint8_t>(profile.segments.size());
  for (std::size_t k = 0; k < 8; ++k) {
    put(b, kInfoValuesAt + 8 * k, hundredths(profile.seam_points[k].y));
    put(b, kInfoValuesAt + 8 * k + 4, hundredths(profile.seam_points[k].z));
  }
  put(b, kInfoValuesAt + 64, hundredths(profile.seam_width));
  put(b, kInfoValuesAt + 68, hundredths(profile.seam_height));
  put(b, kInfoTailAt, static_cast<std::uint64_t>(profile.frame));
  put<std::uint32_t>(b, kInfoWordAt, 100);

  const std::size_t segs = std::min(profile.segments.size(), kMaxSegments);
  for (std::size_t k = 0; k < segs; ++k) {
    const Segment& s = profile.segments[k];
    const std::size_t off = kSegmentsAt + kSegmentLen * k;
    put(b, off, static_cast<std::uint32_t>(k));  // segment id
    put_f32(b, off + 8, s.value);
    put_point(b, off + 12, s.a);
    put_point(b, off + 16, s.b);
    put_point(b, off + 20, s.c);
    put(b, off + 24, s.type);
  }

  const Point& root = profile.seam_points[profile.seam_point_idx % 8];
  put_point(b, kExtraPointAt, root);
  put(b, kExtraValuesAt, hundredths(root.y - profile.seam_path_y));  // tracking error
  put(b, kExtraValuesAt + 4, static_cast<std::int32_t>(segs));
  put(b, kExtraValuesAt + 8, static_cast<std::int32_t>(count));
}

std::vector<std::uint8_t> encode_scan_payload(const Profile& profile, std::uint64_t pts) {
  std::vector<std::uint8_t> out;
  encode_scan_payload(profile, pts, out);
  return out;
}

}  // namespace camsim
