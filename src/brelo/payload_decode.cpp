// Scan-result decoding and snapshot image recognition. The scan payload is a
// fixed little-endian layout; the decoder makes one pass over it and keeps all
// arithmetic in 32-bit floats so hosts see the same numbers the device meant.
#include "brelo/payload_decode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>

#include "common/wire.hpp"

namespace mok::brelo {
namespace {

using namespace wire::scan;  // the payload's offsets

// Callers have validated the length, so these read in bounds.
std::uint16_t u16_at(const std::uint8_t* p, std::size_t at) noexcept {
  return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}
std::int16_t i16_at(const std::uint8_t* p, std::size_t at) noexcept {
  return static_cast<std::int16_t>(u16_at(p, at));
}
std::uint32_t u32_at(const std::uint8_t* p, std::size_t at) noexcept {
  return static_cast<std::uint32_t>(p[at]) | (static_cast<std::uint32_t>(p[at + 1]) << 8) |
         (static_cast<std::uint32_t>(p[at + 2]) << 16) | (static_cast<std::uint32_t>(p[at + 3]) << 24);
}
std::int32_t i32_at(const std::uint8_t* p, std::size_t at) noexcept {
  return static_cast<std::int32_t>(u32_at(p, at));
}
std::uint64_t u64_at(const std::uint8_t* p, std::size_t at) noexcept {
  return static_cast<std::uint64_t>(u32_at(p, at)) | (static_cast<std::uint64_t>(u32_at(p, at + 4)) << 32);
}
float f32_at(const std::uint8_t* p, std::size_t at) noexcept {
  const std::uint32_t bits = u32_at(p, at);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}
template <std::size_t N>
void copy_at(std::array<std::uint8_t, N>& out, const std::uint8_t* p, std::size_t at) noexcept {
  std::memcpy(out.data(), p + at, N);
}

// Hundredths of a millimetre to millimetres, the device's own quotient. In
// the point loop the 16-bit counts convert to float exactly and the division
// runs four lanes at a time, faster here than a double-precision product
// that gives the same float: that loop is bound by its two quotients.
float hundredths(float v) noexcept { return v / 100.0f; }

// A point record is four bytes, z then y, little-endian like the host: one
// load per record instead of four byte loads.
static_assert(std::endian::native == std::endian::little);
std::uint32_t record_at(const std::uint8_t* p, std::size_t at) noexcept {
  std::uint32_t w;
  std::memcpy(&w, p + at, sizeof w);
  return w;
}

// Converts a point record (z at +0, y at +2). Scaled coordinates are
// hundredths minus the frame offsets; raw ones keep y and shift z.
struct PointConverter {
  float oy;
  float oz;

  ScanPoint scaled(const std::uint8_t* p, std::size_t at) const noexcept {
    const std::uint32_t w = record_at(p, at);
    return ScanPoint{0.0f, hundredths(static_cast<float>(w >> 16)) - oy,
                     hundredths(static_cast<float>(w & 0xFFFFu)) - oz, 0.0f};
  }
  static ScanPoint raw(const std::uint8_t* p, std::size_t at, unsigned z_shift) noexcept {
    const std::uint32_t w = record_at(p, at);
    return ScanPoint{0.0f, static_cast<float>(w >> 16), static_cast<float>((w & 0xFFFFu) >> z_shift), 0.0f};
  }
};

// Type-2 segments are judged by their value and point C, the others by
// points A and B; absent entries stay all zero.
bool segment_present(const std::uint8_t* p, std::size_t at) noexcept {
  if (i32_at(p, at + 24) != 2) {
    return u16_at(p, at + 12) != 0 || u16_at(p, at + 14) != 0 || u16_at(p, at + 16) != 0 ||
           u16_at(p, at + 18) != 0;
  }
  return f32_at(p, at + 8) != 0.0f || u16_at(p, at + 20) != 0 || u16_at(p, at + 22) != 0;
}

}  // namespace

std::optional<ScanResult> decode_scan_result(std::span<const std::uint8_t> payload) {
  std::optional<ScanResult> r(std::in_place);
  if (!decode_scan_result_into(payload, *r)) {
    return std::nullopt;
  }
  return r;
}

std::size_t scan_point_count(std::span<const std::uint8_t> payload) noexcept {
  return payload.size() < kScanHeaderLen ? 0 : u16_at(payload.data(), kPointCountAt);
}

bool decode_scan_result_into(std::span<const std::uint8_t> payload, ScanResult& out) {
  const std::uint8_t* p = payload.data();
  const std::size_t len = payload.size();
  if (len < kScanHeaderLen || p[kFormatAt] != kScanFormat) {
    return false;
  }
  const std::size_t count = u16_at(p, kPointCountAt);
  if (count > kMaxScanPoints) {
    return false;
  }
  if (u16_at(p, kDeclaredLenAt) + kDeclaredLenBias > len) {
    return false;
  }
  // The declared length does not cover the point records, so check them too.
  if (kScanHeaderLen + count * kPointRecordLen > len) {
    return false;
  }

  const bool scaled = p[kScaledAt] != 0;
  const PointConverter conv{hundredths(static_cast<float>(u16_at(p, kOffsetYAt))),
                            hundredths(static_cast<float>(u16_at(p, kOffsetZAt)))};
  // Every field below is written from the payload (absent segments as
  // zero), so nothing of a record's previous result survives but its point
  // array, and that only while it is long enough.
  PointArray points;
  std::uint32_t capacity = 0;
  if (count > out.point_capacity) {
    points.reset(new ScanPoint[count]);  // may throw: `out` is still whole
    capacity = static_cast<std::uint32_t>(count);
  } else if (count > 0) {
    points = std::move(out.points);
    capacity = out.point_capacity;
  }
  ScanResult& r = out;
  r.points = std::move(points);
  r.point_capacity = capacity;

  r.point_count = static_cast<std::uint32_t>(count);
  // One loop per form, so that the per-point body has no branch.
  ScanPoint* out_points = r.points.get();
  if (scaled) {
    for (std::size_t i = 0; i < count; ++i) {
      out_points[i] = conv.scaled(p, kScanHeaderLen + i * kPointRecordLen);
    }
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      out_points[i] = PointConverter::raw(p, kScanHeaderLen + i * kPointRecordLen, 2);
    }
  }

  for (std::size_t k = 0; k < kSeamPointCount; ++k) {
    const std::size_t at = kSeamPointsAt + k * kPointRecordLen;
    r.seam_points[k] = scaled ? conv.scaled(p, at) : PointConverter::raw(p, at, 1);
  }

  copy_at(r.seam_info.head, p, kInfoHeadAt);
  for (std::size_t i = 0; i < r.seam_info.values.size(); ++i) {
    r.seam_info.values[i] = hundredths(static_cast<float>(i32_at(p, kInfoValuesAt + 4 * i)));
  }
  copy_at(r.seam_info.tail, p, kInfoTailAt);
  r.seam_info.word = u32_at(p, kInfoWordAt);

  for (std::size_t k = 0; k < kSegmentCount; ++k) {
    const std::size_t at = kSegmentsAt + k * kSegmentLen;
    if (!segment_present(p, at)) {
      r.segments[k] = Segment{};
      continue;
    }
    Segment& s = r.segments[k];
    copy_at(s.head, p, at);
    s.value = f32_at(p, at + 8);
    s.a = conv.scaled(p, at + 12);
    s.b = conv.scaled(p, at + 16);
    s.c = conv.scaled(p, at + 20);
    s.type = i32_at(p, at + 24);
  }

  r.pts = u64_at(p, kPtsAt);
  r.extra_point = conv.scaled(p, kExtraPointAt);
  r.extra_values[0] = hundredths(static_cast<float>(i32_at(p, 1082)));
  r.extra_values[1] = static_cast<float>(i32_at(p, 1086));
  r.extra_values[2] = static_cast<float>(i32_at(p, 1090));
  r.extra_values[3] = hundredths(static_cast<float>(u16_at(p, 1094)));
  r.extra_values[4] = hundredths(static_cast<float>(u16_at(p, 1096)));
  r.extra_values[5] = hundredths(static_cast<float>(i32_at(p, 1098)));
  r.seam_width = hundredths(static_cast<float>(i16_at(p, kSeamWidthAt)));
  r.seam_height = hundredths(static_cast<float>(i16_at(p, kSeamHeightAt)));
  r.seam_angle = static_cast<float>(i16_at(p, kSeamAngleAt));
  r.seam_point_idx = u16_at(p, kSeamIdxAt);
  r.seam_found = u16_at(p, kSeamFoundAt) != 0;
  return true;
}

SnapshotFormat detect_snapshot_format(std::span<const std::uint8_t> payload) noexcept {
  const auto starts_with = [&](std::initializer_list<std::uint8_t> magic) {
    return payload.size() >= magic.size() && std::equal(magic.begin(), magic.end(), payload.begin());
  };
  if (starts_with({0xFF, 0xD8, 0xFF})) {
    return SnapshotFormat::Jpeg;
  }
  if (starts_with({0x89, 0x50, 0x4E, 0x47})) {
    return SnapshotFormat::Png;
  }
  return SnapshotFormat::Raw;
}

SnapshotImage make_snapshot_image(std::span<const std::uint8_t> payload, std::uint16_t width,
                                  std::uint16_t height) {
  SnapshotImage img;
  img.data.assign(payload.begin(), payload.end());
  img.format = detect_snapshot_format(payload);
  // The registers are the device's word, the payload is what came: a host
  // that trusts width x height must find at least that many bytes.
  if (img.format == SnapshotFormat::Raw && payload.size() >= std::uint64_t{width} * height) {
    img.width = width;
    img.height = height;
  }
  return img;
}

}  // namespace mok::brelo
