// Row packing and batch sizing for the profiles topic (see profile_rows.hpp).
#include "profile_rows.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace bridge {

std::uint32_t auto_batch(double profiles_per_s) {
  constexpr double kMaxMessagesPerS = 200;
  if (!(profiles_per_s > kMaxMessagesPerS)) return 1;
  const double k = std::ceil(profiles_per_s / kMaxMessagesPerS);
  return k > 10000 ? 10000 : static_cast<std::uint32_t>(k);
}

std::uint32_t pack_row(const mok_scan_point_t* points, std::uint32_t count, std::uint32_t index,
                       std::uint8_t* out) {
  float min_y = std::numeric_limits<float>::infinity();
  float min_z = min_y;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (points[i].y < min_y) min_y = points[i].y;
    if (points[i].z < min_z) min_z = points[i].z;
  }
  // One pass writes every row, points at the lowest corner as NaN; a corner
  // that occurs once is a measurement after all and is written back.
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  std::uint32_t at_min = 0;
  std::uint8_t* first_at_min = nullptr;
  for (std::uint32_t i = 0; i < count; ++i, out += kPointStep) {
    float y = points[i].y;
    float z = points[i].z;
    if (y == min_y && z == min_z) {
      if (at_min++ == 0) first_at_min = out;
      y = z = kNaN;
    }
    std::memcpy(out, &y, 4);
    std::memcpy(out + 4, &z, 4);
    std::memcpy(out + 8, &index, 4);
  }
  if (at_min == 1) {
    std::memcpy(first_at_min, &min_y, 4);
    std::memcpy(first_at_min + 4, &min_z, 4);
    return 0;
  }
  return at_min;
}

}  // namespace bridge
