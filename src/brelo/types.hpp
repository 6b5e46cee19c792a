// Records the device client hands out: scan results and snapshot images.
// Hosts receive raw pointers into ScanPoint arrays, the seam-info block and
// the segment table, so those three layouts are fixed byte for byte and
// checked below; the public C header mirrors them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace mok::brelo {

// One measured point; x and reserved are always 0 (16 bytes).
struct ScanPoint {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
  float reserved = 0.0f;
};

// Seam information (96 bytes): device fields passed through, with the 18
// values scaled from hundredths.
struct SeamInfo {
  std::array<std::uint8_t, 8> head{};
  std::array<float, 18> values{};
  std::array<std::uint8_t, 8> tail{};
  std::uint32_t word = 0;
  std::uint32_t pad = 0;  // keeps the block a multiple of 8 bytes
};

// One entry of the segment table (64 bytes); an absent segment is all zero.
struct Segment {
  std::array<std::uint8_t, 8> head{};
  float value = 0.0f;
  ScanPoint a;
  ScanPoint b;
  ScanPoint c;
  std::int32_t type = 0;
};

inline constexpr std::size_t kSeamPointCount = 8;
inline constexpr std::size_t kSegmentCount = 32;
inline constexpr std::size_t kMaxScanPoints = 4096;

static_assert(sizeof(ScanPoint) == 16);
static_assert(offsetof(ScanPoint, y) == 4 && offsetof(ScanPoint, z) == 8 && offsetof(ScanPoint, reserved) == 12);
static_assert(sizeof(SeamInfo) == 96);
static_assert(offsetof(SeamInfo, values) == 8 && offsetof(SeamInfo, tail) == 80 &&
              offsetof(SeamInfo, word) == 88 && offsetof(SeamInfo, pad) == 92);
static_assert(sizeof(Segment) == 64);
static_assert(offsetof(Segment, value) == 8 && offsetof(Segment, a) == 12 && offsetof(Segment, b) == 28 &&
              offsetof(Segment, c) == 44 && offsetof(Segment, type) == 60);
static_assert(sizeof(std::array<ScanPoint, kSeamPointCount>) == 128);
static_assert(sizeof(std::array<Segment, kSegmentCount>) == 2048);

// Frees a point array of its own; one that lives in its record's allocation
// (make_scan_record) goes with the record.
struct PointArrayDeleter {
  bool owned = true;
  void operator()(ScanPoint* p) const noexcept {
    if (owned) delete[] p;
  }
};
using PointArray = std::unique_ptr<ScanPoint[], PointArrayDeleter>;

// One decoded profile. Immutable once built and shared by reference count;
// `points` is null when point_count is 0.
struct ScanResult {
  PointArray points;
  std::uint32_t point_count = 0;
  // Length of `points`, which may exceed point_count in a reused record.
  std::uint32_t point_capacity = 0;
  std::uint64_t pts = 0;
  std::array<ScanPoint, kSeamPointCount> seam_points{};
  SeamInfo seam_info;
  std::array<Segment, kSegmentCount> segments{};
  ScanPoint extra_point;
  std::array<float, 6> extra_values{};
  float seam_width = 0.0f;
  float seam_height = 0.0f;
  float seam_angle = 0.0f;
  std::uint32_t seam_point_idx = 0;
  bool seam_found = false;
  // Room for the one handle a host is given for this record in its
  // callback, in the record's own allocation (make_scan_record; null in a
  // record made otherwise). The record is published once per decode and
  // reused only when nobody holds it, so the room is free whenever it is
  // handed out.
  void* host_room = nullptr;
};

inline constexpr std::size_t kHostRoomBytes = 32;

// Codes of SnapshotImage::format; hosts see the numbers.
enum class SnapshotFormat : std::uint8_t { Raw = 0, Jpeg = 1, Png = 2 };

// One still image from the camera. For JPEG and PNG the dimensions live in
// the data and width/height are 0; for raw data they are the image size the
// device last reported.
struct SnapshotImage {
  std::vector<std::uint8_t> data;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  SnapshotFormat format = SnapshotFormat::Raw;
};

using ScanResultPtr = std::shared_ptr<const ScanResult>;
using SnapshotImagePtr = std::shared_ptr<const SnapshotImage>;

}  // namespace mok::brelo
