// The scan-result payload as the camera writes it: a fixed block of
// little-endian fields (time stamp, seam, seam points, seam info, segments)
// followed by the profile point records in the scaled coordinate encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scene.hpp"

namespace camsim {

// Coordinates travel as unsigned hundredths of a millimetre shifted by these
// offsets (also sent in the payload), so the field of view stays positive.
inline constexpr std::uint16_t kYOffsetHundredths = 10000;  // 100.00 mm
inline constexpr std::uint16_t kZOffsetHundredths = 5000;   // 50.00 mm
inline constexpr std::size_t kScanFixedLen = 1216;
inline constexpr std::uint8_t kScanFormat = 2;
inline constexpr std::uint32_t kMaxScanPoints = 4096;

// Payload length for a profile of `points` points.
constexpr std::size_t scan_payload_len(std::size_t points) { return kScanFixedLen + 4 * points; }

// Encodes the profile into `out` (resized; reusing its capacity). `pts` is the
// device time stamp in microseconds. Profiles longer than 4096 points are cut.
void encode_scan_payload(const Profile& profile, std::uint64_t pts, std::vector<std::uint8_t>& out);
std::vector<std::uint8_t> encode_scan_payload(const Profile& profile, std::uint64_t pts);

// The raw 16-bit (z, y) pair of a point record; invalid points are (0, 0).
struct RawPoint {
  std::uint16_t z = 0;
  std::uint16_t y = 0;
};
RawPoint encode_point(const Point& p);

}  // namespace camsim
