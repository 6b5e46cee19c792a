// The scan-result payload, read two ways: field by field at the documented
// offsets (written out here independently of the encoder), and through the
// device client's own decoder, which is what a host will actually see.
#include "sim/scan_payload.hpp"

#include <cstring>

#include <gtest/gtest.h>

#include "brelo/payload_decode.hpp"

namespace camsim {
namespace {

std::uint16_t u16(const std::vector<std::uint8_t>& b, std::size_t off) { return b[off] | (b[off + 1] << 8); }
std::int16_t i16(const std::vector<std::uint8_t>& b, std::size_t off) {
  return static_cast<std::int16_t>(u16(b, off));
}
std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t off) {
  return u16(b, off) | (std::uint32_t{u16(b, off + 2)} << 16);
}
std::int32_t i32(const std::vector<std::uint8_t>& b, std::size_t off) {
  return static_cast<std::int32_t>(u32(b, off));
}
std::uint64_t u64(const std::vector<std::uint8_t>& b, std::size_t off) {
  return u32(b, off) | (std::uint64_t{u32(b, off + 4)} << 32);
}

Point pt(float y, float z) { return Point{y, z, true}; }

// A hand-made profile with round numbers so every raw value is known exactly.
Profile sample_profile() {
  Profile p;
  p.frame = 77;
  p.points = {pt(-10.0f, 0.0f), Point{}, pt(2.5f, -8.0f)};
  p.seam_found = true;
  for (int k = 0; k < 8; ++k) p.seam_points[k] = pt(1.0f + k, -2.0f);
  p.seam_point_idx = 0;
  p.seam_width = 12.0f;
  p.seam_height = -1.5f;
  p.seam_angle = -45;
  p.segments = {Segment{1, 5.0f, pt(-40, 0), pt(-6, 0), pt(-23, 0)}, Segment{2, 1.5f, Point{}, Point{}, Point{}}};
  return p;
}

TEST(ScanPayload, FieldsSitAtTheirOffsets) {
  const auto b = encode_scan_payload(sample_profile(), 0x0102030405060708ull);
  ASSERT_EQ(b.size(), 1216u + 3 * 4);
  EXPECT_EQ(b[2], 2);                     // format
  EXPECT_NE(b[3], 0);                     // scaled coordinates
  EXPECT_EQ(u16(b, 34) + 36u, b.size());  // declared length
  EXPECT_EQ(u64(b, 36), 0x0102030405060708ull);
  EXPECT_EQ(u16(b, 44), 1);      // seam found
  EXPECT_EQ(u16(b, 46), 10000);  // y offset, hundredths
  EXPECT_EQ(u16(b, 48), 5000);   // z offset, hundredths
  EXPECT_EQ(u16(b, 50), 0);      // seam point index
  EXPECT_EQ(i16(b, 52), 1200);   // width 12.00
  EXPECT_EQ(i16(b, 54), -150);   // height -1.50
  EXPECT_EQ(i16(b, 56), -45);    // angle, not scaled
  EXPECT_EQ(u16(b, 1214), 3);    // point count
  // Point record: z then y, each (value + offset) in hundredths.
  EXPECT_EQ(u16(b, 1216), 5000);             // z 0
  EXPECT_EQ(u16(b, 1218), 9000);             // y -10
  EXPECT_EQ(u32(b, 1220), 0u);               // an invalid point is all zero
  EXPECT_EQ(u16(b, 1224), 4200);             // z -8
  EXPECT_EQ(u16(b, 1226), 10250);            // y 2.5
  EXPECT_EQ(u16(b, 58 + 4 * 3 + 2), 10400);  // seam point 3: y 4
  // Seam info values: seam point (y, z) pairs in hundredths.
  EXPECT_EQ(i32(b, 98), 100);
  EXPECT_EQ(i32(b, 102), -200);
  // Segment 0: a line from y -40 to -6 at z 0; segment 1: a gap with only its width.
  EXPECT_EQ(i32(b, 182 + 24), 1);
  float len;
  std::memcpy(&len, &b[182 + 8], 4);
  EXPECT_FLOAT_EQ(len, 5.0f);
  EXPECT_EQ(u16(b, 182 + 12 + 2), 6000);
  EXPECT_EQ(i32(b, 182 + 28 + 24), 2);
  EXPECT_EQ(i32(b, 182 + 56 + 24), 0);  // no third segment
}

TEST(ScanPayload, DecodesInTheClientToTheSameGeometry) {
  const Profile p = sample_profile();
  const auto r = mok::brelo::decode_scan_result(encode_scan_payload(p, 99));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->pts, 99u);
  ASSERT_EQ(r->point_count, 3u);
  EXPECT_FLOAT_EQ(r->points[0].y, -10.0f);
  EXPECT_FLOAT_EQ(r->points[0].z, 0.0f);
  EXPECT_FLOAT_EQ(r->points[2].y, 2.5f);
  EXPECT_FLOAT_EQ(r->points[2].z, -8.0f);
  EXPECT_TRUE(r->seam_found);
  EXPECT_FLOAT_EQ(r->seam_width, 12.0f);
  EXPECT_FLOAT_EQ(r->seam_height, -1.5f);
  EXPECT_FLOAT_EQ(r->seam_angle, -45.0f);
  for (int k = 0; k < 8; ++k) {
    EXPECT_FLOAT_EQ(r->seam_points[k].y, 1.0f + k);
    EXPECT_FLOAT_EQ(r->seam_points[k].z, -2.0f);
  }
  EXPECT_FLOAT_EQ(r->seam_info.values[0], 1.0f);
  EXPECT_FLOAT_EQ(r->seam_info.values[16], 12.0f);
  // The client keeps a line segment (points non-zero) and a gap (width non-zero).
  EXPECT_EQ(r->segments[0].type, 1);
  EXPECT_FLOAT_EQ(r->segments[0].b.y, -6.0f);
  EXPECT_EQ(r->segments[1].type, 2);
  EXPECT_FLOAT_EQ(r->segments[1].value, 1.5f);
  EXPECT_EQ(r->segments[2].type, 0);
}

TEST(ScanPayload, GeneratedProfilesDecodeAtEverySize) {
  SceneConfig c;
  for (std::uint32_t n : {0u, 1u, 1280u, 4096u}) {
    c.point_count = n;
    const Profile p = generate_profile(c, n, 0.5);
    const auto bytes = encode_scan_payload(p, 1);
    const auto r = mok::brelo::decode_scan_result(bytes);
    ASSERT_TRUE(r.has_value()) << n << " points";
    EXPECT_EQ(r->point_count, n);
    EXPECT_EQ(r->seam_found, p.seam_found);
    for (std::uint32_t i = 0; i < n; i += 97) {
      if (!p.points[i].valid) continue;
      EXPECT_NEAR(r->points[i].y, p.points[i].y, 0.006);  // hundredths, rounded
      EXPECT_NEAR(r->points[i].z, p.points[i].z, 0.006);
    }
  }
}

TEST(ScanPayload, NoSeamLeavesEverySeamFieldZero) {
  Profile p = sample_profile();
  p.seam_found = false;
  const auto b = encode_scan_payload(p, 5);
  for (std::size_t off = 44; off < 1214; ++off) {
    if (off >= 46 && off < 50) continue;  // the coordinate offsets serve the profile points too
    ASSERT_EQ(b[off], 0) << "offset " << off;
  }
  EXPECT_EQ(u16(b, 1214), 3);
}

TEST(ScanPayload, CoordinatesOutsideTheEncodableRangeAreClamped) {
  // y below -100 mm cannot be written; it must clamp, not wrap to a far-away value.
  EXPECT_EQ(encode_point(pt(-150.0f, 0.0f)).y, 0);
  EXPECT_EQ(encode_point(pt(700.0f, 0.0f)).y, 0xFFFF);
  EXPECT_EQ(encode_point(pt(0.0f, -60.0f)).z, 0);
  // An invalid point is (0, 0), whatever it holds.
  const RawPoint r = encode_point(Point{5.0f, 5.0f, false});
  EXPECT_EQ(r.y, 0);
  EXPECT_EQ(r.z, 0);
}

}  // namespace
}  // namespace camsim
