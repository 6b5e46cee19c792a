// Writes the scan-result block field by field at fixed offsets; everything not
// written stays zero. Seam info and segments are derived from the profile so
// that a reader sees the same geometry in every part of the packet.
#include "scan_payload.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace camsim {
namespace {

// Offsets into the payload.
constexpr std::size_t kFormat = 2;
constexpr std::size_t kScaled = 3;
constexpr std::size_t kFrameCounter = 4;  // ours: lets a reader spot skipped frames
constexpr std::size_t kDeclaredLen = 34;
constexpr std::size_t kPts = 36;
constexpr std::size_t kSeamFound = 44;
constexpr std::size_t kYOffset = 46;
constexpr std::size_t kZOffset = 48;
constexpr std::size_t kSeamIdx = 50;
constexpr std::size_t kSeamWidth = 52;
constexpr std::size_t kSeamHeight = 54;
constexpr std::size_t kSeamAngle = 56;
constexpr std::size_t kSeamPoints = 58;
constexpr std::size_t kInfoHead = 90;
constexpr std::size_t kInfoValues = 98;
constexpr std::size_t kInfoTail = 170;
constexpr std::size_t kInfoWord = 178;
constexpr std::size_t kSegments = 182;
constexpr std::size_t kSegmentLen = 28;
constexpr std::size_t kMaxSegments = 32;
constexpr std::size_t kExtraPoint = 1078;
constexpr std::size_t kExtraValues = 1082;
constexpr std::size_t kPointCount = 1214;

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

  b[kFormat] = kScanFormat;
  b[kScaled] = 1;
  put(b, kFrameCounter, static_cast<std::uint32_t>(profile.frame));
  put(b, kDeclaredLen, static_cast<std::uint16_t>(std::min<std::size_t>(len - 36, 0xFFFF)));
  put(b, kPts, pts);
  put(b, kYOffset, kYOffsetHundredths);
  put(b, kZOffset, kZOffsetHundredths);
  put(b, kPointCount, static_cast<std::uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) put_point(b, kScanFixedLen + 4 * i, profile.points[i]);

  if (!profile.seam_found) return;  // no seam: every seam field stays zero
  put<std::uint16_t>(b, kSeamFound, 1);
  put(b, kSeamIdx, profile.seam_point_idx);
  put(b, kSeamWidth, to_i16(double{profile.seam_width} * 100));
  put(b, kSeamHeight, to_i16(double{profile.seam_height} * 100));
  put(b, kSeamAngle, profile.seam_angle);
  for (std::size_t k = 0; k < 8; ++k) put_point(b, kSeamPoints + 4 * k, profile.seam_points[k]);

  // Seam info: head = joint code and segment count; values = the eight seam
  // points (y, z) then width and height; tail = frame; word = quality in percent.
  b[kInfoHead] = 1;  // version of this block's layout
  b[kInfoHead + 1] = 0;
  b[kInfoHead + 2] = static_cast<std::uint8_t>(profile.segments.size());
  for (std::size_t k = 0; k < 8; ++k) {
    put(b, kInfoValues + 8 * k, hundredths(profile.seam_points[k].y));
    put(b, kInfoValues + 8 * k + 4, hundredths(profile.seam_points[k].z));
  }
  put(b, kInfoValues + 64, hundredths(profile.seam_width));
  put(b, kInfoValues + 68, hundredths(profile.seam_height));
  put(b, kInfoTail, static_cast<std::uint64_t>(profile.frame));
  put<std::uint32_t>(b, kInfoWord, 100);

  const std::size_t segs = std::min(profile.segments.size(), kMaxSegments);
  for (std::size_t k = 0; k < segs; ++k) {
    const Segment& s = profile.segments[k];
    const std::size_t off = kSegments + kSegmentLen * k;
    put(b, off, static_cast<std::uint32_t>(k));  // segment id
    put_f32(b, off + 8, s.value);
    put_point(b, off + 12, s.a);
    put_point(b, off + 16, s.b);
    put_point(b, off + 20, s.c);
    put(b, off + 24, s.type);
  }

  const Point& root = profile.seam_points[profile.seam_point_idx % 8];
  put_point(b, kExtraPoint, root);
  put(b, kExtraValues, hundredths(root.y - profile.seam_path_y));  // tracking error
  put(b, kExtraValues + 4, static_cast<std::int32_t>(segs));
  put(b, kExtraValues + 8, static_cast<std::int32_t>(count));
}

std::vector<std::uint8_t> encode_scan_payload(const Profile& profile, std::uint64_t pts) {
  std::vector<std::uint8_t> out;
  encode_scan_payload(profile, pts, out);
  return out;
}

}  // namespace camsim
