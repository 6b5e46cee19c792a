#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "brelo/payload_decode.hpp"
#include "brelo/scan_record.hpp"
#include "support/scan_payload.hpp"

namespace mok::brelo {
namespace {

using test::ScanPayload;

std::optional<ScanResult> decode(const ScanPayload& p) { return decode_scan_result(p.bytes()); }

TEST(ScanDecode, ValidationBoundaries) {
  // Shortest valid payload: the header with no points.
  EXPECT_TRUE(decode(ScanPayload{}).has_value());

  std::vector<std::uint8_t> short_payload = ScanPayload{}.bytes();
  short_payload.pop_back();
  EXPECT_FALSE(decode_scan_result(short_payload).has_value());
  EXPECT_FALSE(decode_scan_result({}).has_value());

  ScanPayload wrong_format;
  wrong_format.u8(2, 1);
  EXPECT_FALSE(decode(wrong_format).has_value());

  ScanPayload at_limit(4096);
  EXPECT_TRUE(decode(at_limit).has_value());
  ScanPayload over_limit(4097);
  EXPECT_FALSE(decode(over_limit).has_value());

  ScanPayload declared_exact;
  declared_exact.u16(34, static_cast<std::uint16_t>(declared_exact.bytes().size() - 36));
  EXPECT_TRUE(decode(declared_exact).has_value());
  ScanPayload declared_over;
  declared_over.u16(34, static_cast<std::uint16_t>(declared_over.bytes().size() - 35));
  EXPECT_FALSE(decode(declared_over).has_value());
}

TEST(ScanDecode, RejectsPayloadShorterThanItsPointRecords) {
  ScanPayload p(10);
  p.bytes().resize(ScanPayload::kHeader + 4 * 10 - 1);
  p.u16(34, 0);
  EXPECT_FALSE(decode(p).has_value());
  p.bytes().push_back(0);
  EXPECT_TRUE(decode(p).has_value());
}

TEST(ScanDecode, NeverReadsPastAnyTruncation) {
  // Each prefix lives in a buffer of exactly its size, so a read beyond it
  // is caught by the address sanitizer build.
  ScanPayload full(100);
  full.u16(34, 0);
  for (std::size_t n = 0; n <= full.bytes().size(); ++n) {
    const std::vector<std::uint8_t> prefix(full.bytes().begin(), full.bytes().begin() + static_cast<long>(n));
    const auto r = decode_scan_result(prefix);
    EXPECT_EQ(r.has_value(), n == full.bytes().size()) << n;
  }
}

// Decoding into a used record must leave nothing of the previous result:
// every field comes from the new payload (absent segments are zero again),
// the point array is reused only while it is long enough, and a rejected
// payload leaves the record as it was.
TEST(ScanDecode, IntoUsedRecordKeepsOnlyThePointArray) {
  ScanPayload big(8);
  big.u16(44, 1).u64(36, 1).profile_point(7, 100, 200).seam_point(2, 5, 6).i16(52, 300).u16(50, 2);
  big.i32(ScanPayload::segment_at(3) + 24, 2).f32(ScanPayload::segment_at(3) + 8, 1.5f);
  ScanResult r;
  ASSERT_TRUE(decode_scan_result_into(big.bytes(), r));
  const ScanPoint* array = r.points.get();
  EXPECT_EQ(r.point_capacity, 8u);
  EXPECT_NE(r.segments[3].value, 0.0f);

  ScanPayload smaller(3);
  smaller.u64(36, 2).profile_point(2, 500, 700);
  ASSERT_TRUE(decode_scan_result_into(smaller.bytes(), r));
  EXPECT_EQ(r.points.get(), array);  // reused, no allocation
  EXPECT_EQ(r.point_count, 3u);
  EXPECT_EQ(r.point_capacity, 8u);
  EXPECT_EQ(r.pts, 2u);
  EXPECT_FALSE(r.seam_found);
  const Segment zero{};
  EXPECT_EQ(std::memcmp(&r.segments[3], &zero, sizeof zero), 0);
  // Field by field the same as a fresh decode of the same payload.
  const auto fresh = decode(smaller);
  ASSERT_TRUE(fresh);
  const auto same = [](const auto& a, const auto& b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  EXPECT_EQ(r.point_count, fresh->point_count);
  EXPECT_EQ(std::memcmp(r.points.get(), fresh->points.get(), 3 * sizeof(ScanPoint)), 0);
  EXPECT_TRUE(same(r.seam_points, fresh->seam_points));
  EXPECT_TRUE(same(r.seam_info, fresh->seam_info));
  EXPECT_TRUE(same(r.segments, fresh->segments));
  EXPECT_TRUE(same(r.extra_point, fresh->extra_point));
  EXPECT_TRUE(same(r.extra_values, fresh->extra_values));
  EXPECT_EQ(r.pts, fresh->pts);
  EXPECT_EQ(r.seam_point_idx, fresh->seam_point_idx);
  EXPECT_TRUE(same(r.seam_width, fresh->seam_width) && same(r.seam_height, fresh->seam_height) &&
              same(r.seam_angle, fresh->seam_angle));

  ScanPayload broken(3);
  broken.u8(2, 1);
  EXPECT_FALSE(decode_scan_result_into(broken.bytes(), r));
  EXPECT_EQ(r.pts, 2u);
  EXPECT_EQ(r.points.get(), array);

  ASSERT_TRUE(decode_scan_result_into(ScanPayload(12).bytes(), r));  // longer: a new array
  EXPECT_EQ(r.point_capacity, 12u);
  EXPECT_EQ(r.point_count, 12u);

  ASSERT_TRUE(decode_scan_result_into(ScanPayload{}.bytes(), r));  // no points: none at all
  EXPECT_EQ(r.points, nullptr);
  EXPECT_EQ(r.point_count, 0u);
}

TEST(ScanDecode, NoPointsStillFillsSeamFields) {
  ScanPayload p;
  p.u16(44, 1).i16(52, -150).i16(54, 275).i16(56, -45).u16(50, 3).u64(36, 0x0102030405060708ULL);
  auto r = decode(p);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->point_count, 0u);
  EXPECT_EQ(r->points, nullptr);
  EXPECT_TRUE(r->seam_found);
  EXPECT_FLOAT_EQ(r->seam_width, -1.5f);
  EXPECT_FLOAT_EQ(r->seam_height, 2.75f);
  EXPECT_FLOAT_EQ(r->seam_angle, -45.0f);
  EXPECT_EQ(r->seam_point_idx, 3u);
  EXPECT_EQ(r->pts, 0x0102030405060708ULL);
}

TEST(ScanDecode, ScaledPointsSubtractOffsets) {
  ScanPayload p(2, true);
  p.offsets(1000, 500).profile_point(0, 1500, 2500).profile_point(1, 0, 0).seam_point(7, 1500, 2500);
  auto r = decode(p);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->point_count, 2u);
  EXPECT_FLOAT_EQ(r->points[0].y, 15.0f);
  EXPECT_FLOAT_EQ(r->points[0].z, 10.0f);
  EXPECT_EQ(r->points[0].x, 0.0f);
  EXPECT_EQ(r->points[0].reserved, 0.0f);
  // Coordinates are not clamped: below the offset they go negative.
  EXPECT_FLOAT_EQ(r->points[1].y, -10.0f);
  EXPECT_FLOAT_EQ(r->points[1].z, -5.0f);
  EXPECT_FLOAT_EQ(r->seam_points[7].y, 15.0f);
  EXPECT_FLOAT_EQ(r->seam_points[7].z, 10.0f);
  EXPECT_FLOAT_EQ(r->seam_points[0].y, -10.0f);
}

TEST(ScanDecode, UnscaledPointsShiftProfileAndSeamDifferently) {
  ScanPayload p(1, false);
  p.offsets(1000, 500).profile_point(0, 1500, 2500).seam_point(2, 1500, 2500).seam_point(3, 3, 7);
  auto r = decode(p);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->points[0].y, 2500.0f);
  EXPECT_EQ(r->points[0].z, 375.0f);
  EXPECT_EQ(r->seam_points[2].y, 2500.0f);
  EXPECT_EQ(r->seam_points[2].z, 750.0f);
  EXPECT_EQ(r->seam_points[3].z, 1.0f);  // rounded down
  EXPECT_EQ(r->seam_points[3].y, 7.0f);
}

TEST(ScanDecode, OneBlockRecordKeepsItsPointsInPlace) {
  const auto record = make_scan_record(record_capacity_for(1000));
  ASSERT_EQ(record->point_capacity, 1024u);
  const ScanPoint* room = record->points.get();
  ScanPayload p(1000, true);
  p.offsets(20, 30).profile_point(999, 4000, 5000);
  ASSERT_TRUE(decode_scan_result_into(p.bytes(), *record));
  EXPECT_EQ(record->points.get(), room);
  const auto fresh = decode(p);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(std::memcmp(room, fresh->points.get(), 1000 * sizeof(ScanPoint)), 0);
  EXPECT_EQ(scan_point_count(p.bytes()), 1000u);

  // Outgrown: an array of its own, freed with the record; the room is not.
  ASSERT_TRUE(decode_scan_result_into(ScanPayload(2000, true).bytes(), *record));
  EXPECT_NE(record->points.get(), room);
  EXPECT_EQ(record->point_capacity, 2000u);
  EXPECT_EQ(record_capacity_for(kMaxScanPoints + 1), kMaxScanPoints);
}

TEST(ScanDecode, ArithmeticStaysInSinglePrecision) {
  ScanPayload p(1, true);
  p.offsets(333, 1).profile_point(0, 12345, 54321);
  auto r = decode(p);
  ASSERT_TRUE(r);
  const float oy = 333.0f / 100.0f;
  const float oz = 1.0f / 100.0f;
  EXPECT_EQ(r->points[0].y, 54321.0f / 100.0f - oy);
  EXPECT_EQ(r->points[0].z, 12345.0f / 100.0f - oz);

  // Every 16-bit coordinate comes out exactly as the float division gives it.
  ScanResult all;
  for (std::uint32_t first = 0; first < 65536; first += kMaxScanPoints) {
    ScanPayload q(kMaxScanPoints, true);
    q.offsets(333, 1);
    for (std::uint32_t i = 0; i < kMaxScanPoints; ++i) {
      q.profile_point(i, static_cast<std::uint16_t>(first + i), static_cast<std::uint16_t>(65535 - first - i));
    }
    ASSERT_TRUE(decode_scan_result_into(q.bytes(), all));
    for (std::uint32_t i = 0; i < kMaxScanPoints; ++i) {
      ASSERT_EQ(all.points[i].z, static_cast<float>(first + i) / 100.0f - oz) << first + i;
      ASSERT_EQ(all.points[i].y, static_cast<float>(65535 - first - i) / 100.0f - oy) << first + i;
    }
  }
}

TEST(ScanDecode, SeamInfoBlock) {
  ScanPayload p;
  for (std::size_t i = 0; i < 8; ++i) {
    p.u8(90 + i, static_cast<std::uint8_t>(0xA0 + i));
    p.u8(170 + i, static_cast<std::uint8_t>(0xB0 + i));
  }
  for (std::size_t i = 0; i < 18; ++i) {
    p.i32(98 + 4 * i, static_cast<std::int32_t>(i) * 50 - 300);
  }
  p.u32(178, 0xDEADBEEF);
  auto r = decode(p);
  ASSERT_TRUE(r);
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(r->seam_info.head[i], 0xA0 + i);
    EXPECT_EQ(r->seam_info.tail[i], 0xB0 + i);
  }
  for (std::size_t i = 0; i < 18; ++i) {
    EXPECT_FLOAT_EQ(r->seam_info.values[i], (static_cast<float>(i) * 50 - 300) / 100.0f) << i;
  }
  EXPECT_EQ(r->seam_info.word, 0xDEADBEEFu);
  EXPECT_EQ(r->seam_info.pad, 0u);
}

TEST(ScanDecode, SegmentPresenceRules) {
  ScanPayload p(0, false);  // segments are always scaled, whatever the flag
  p.offsets(100, 200);
  const auto seg = [&](std::size_t k) { return ScanPayload::segment_at(k); };
  // 0: type 1 with only point C set -> absent.
  p.i32(seg(0) + 24, 1).point(seg(0) + 20, 9, 9).f32(seg(0) + 8, 3.5f);
  // 1: type 1 with point B's y set -> present.
  p.i32(seg(1) + 24, 1).point(seg(1) + 16, 0, 400).u8(seg(1), 0x11).f32(seg(1) + 8, 2.5f);
  // 2: type 2, value non-zero, all points zero -> present.
  p.i32(seg(2) + 24, 2).f32(seg(2) + 8, 1.25f);
  // 3: type 2, value zero, only point A set -> absent.
  p.i32(seg(3) + 24, 2).point(seg(3) + 12, 5, 5);
  // 4: type 2, only point C's z set -> present.
  p.i32(seg(4) + 24, 2).point(seg(4) + 20, 700, 0);
  // 5: type 2 with a NaN value -> present.
  p.i32(seg(5) + 24, 2).f32(seg(5) + 8, std::numeric_limits<float>::quiet_NaN());
  // 6: type 2 with -0.0 -> equal to zero, absent.
  p.i32(seg(6) + 24, 2).f32(seg(6) + 8, -0.0f);
  // 31: type 0 with point A's z set -> present, last index kept.
  p.point(seg(31) + 12, 300, 0).i32(seg(31) + 24, 0);
  auto r = decode(p);
  ASSERT_TRUE(r);

  const Segment zero{};
  const auto all_zero = [&](const Segment& s) { return std::memcmp(&s, &zero, sizeof s) == 0; };
  EXPECT_TRUE(all_zero(r->segments[0]));
  EXPECT_FALSE(all_zero(r->segments[1]));
  EXPECT_EQ(r->segments[1].head[0], 0x11);
  EXPECT_EQ(r->segments[1].type, 1);
  EXPECT_EQ(r->segments[1].value, 2.5f);
  EXPECT_FLOAT_EQ(r->segments[1].b.y, 3.0f);   // 400/100 - 1
  EXPECT_FLOAT_EQ(r->segments[1].b.z, -2.0f);  // 0 - 2
  EXPECT_FLOAT_EQ(r->segments[1].a.y, -1.0f);
  EXPECT_EQ(r->segments[2].value, 1.25f);
  EXPECT_EQ(r->segments[2].type, 2);
  EXPECT_TRUE(all_zero(r->segments[3]));
  EXPECT_FLOAT_EQ(r->segments[4].c.z, 5.0f);
  EXPECT_TRUE(std::isnan(r->segments[5].value));
  EXPECT_TRUE(all_zero(r->segments[6]));
  EXPECT_FLOAT_EQ(r->segments[31].a.z, 1.0f);
  for (std::size_t k = 7; k < 31; ++k) {
    EXPECT_TRUE(all_zero(r->segments[k])) << k;
  }
}

TEST(ScanDecode, ExtraFields) {
  ScanPayload p(0, false);
  p.offsets(100, 100)
      .point(1078, 300, 500)
      .i32(1082, -250)
      .i32(1086, -7)
      .i32(1090, 9)
      .u16(1094, 65535)
      .u16(1096, 50)
      .i32(1098, 12345);
  auto r = decode(p);
  ASSERT_TRUE(r);
  EXPECT_FLOAT_EQ(r->extra_point.y, 4.0f);
  EXPECT_FLOAT_EQ(r->extra_point.z, 2.0f);
  EXPECT_FLOAT_EQ(r->extra_values[0], -2.5f);
  EXPECT_EQ(r->extra_values[1], -7.0f);
  EXPECT_EQ(r->extra_values[2], 9.0f);
  EXPECT_FLOAT_EQ(r->extra_values[3], 655.35f);
  EXPECT_FLOAT_EQ(r->extra_values[4], 0.5f);
  EXPECT_FLOAT_EQ(r->extra_values[5], 123.45f);
}

TEST(SnapshotFormat, RecognisedByLeadingBytes) {
  using V = std::vector<std::uint8_t>;
  EXPECT_EQ(detect_snapshot_format(V{0xFF, 0xD8, 0xFF, 0xE0, 1}), SnapshotFormat::Jpeg);
  EXPECT_EQ(detect_snapshot_format(V{0xFF, 0xD8, 0xFF}), SnapshotFormat::Jpeg);
  EXPECT_EQ(detect_snapshot_format(V{0xFF, 0xD8}), SnapshotFormat::Raw);
  EXPECT_EQ(detect_snapshot_format(V{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}), SnapshotFormat::Png);
  EXPECT_EQ(detect_snapshot_format(V{0x89, 0x50, 0x4E}), SnapshotFormat::Raw);
  EXPECT_EQ(detect_snapshot_format(V{}), SnapshotFormat::Raw);

  const V jpeg{0xFF, 0xD8, 0xFF, 0xDB};
  const SnapshotImage j = make_snapshot_image(jpeg, 640, 480);
  EXPECT_EQ(j.format, SnapshotFormat::Jpeg);
  EXPECT_EQ(j.width, 0u);
  EXPECT_EQ(j.height, 0u);
  EXPECT_EQ(j.data, jpeg);
  const SnapshotImage raw = make_snapshot_image(V{1, 2, 3, 4, 5, 6, 7, 8}, 4, 2);
  EXPECT_EQ(raw.format, SnapshotFormat::Raw);
  EXPECT_EQ(raw.width, 4u);
  EXPECT_EQ(raw.height, 2u);
  // Registers announcing more pixels than the payload has bytes: a host
  // trusting width x height would read past the data, so no size is given.
  const SnapshotImage short_raw = make_snapshot_image(V{1, 2, 3, 4}, 4096, 4096);
  EXPECT_EQ(short_raw.format, SnapshotFormat::Raw);
  EXPECT_EQ(short_raw.width, 0u);
  EXPECT_EQ(short_raw.height, 0u);
  EXPECT_EQ(make_snapshot_image(V{1, 2, 3, 4, 5, 6, 7}, 4, 2).width, 0u);
}

}  // namespace
}  // namespace mok::brelo
