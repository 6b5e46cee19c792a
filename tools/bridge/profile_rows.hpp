// How profiles become rows of a PointCloud2: the point layout (y, z, profile
// index), the marking of points without a laser return, and how many profiles
// go into one message. Pure functions over the library's point records.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mok/mok.h>

namespace bridge {

// One point on the wire: float32 y at 0, float32 z at 4, uint32 profile index
// at 8 (PointField datatypes FLOAT32 = 7, UINT32 = 6), little-endian.
inline constexpr std::uint32_t kPointStep = 12;
inline constexpr std::uint8_t kFloat32 = 7;
inline constexpr std::uint8_t kUint32 = 6;

// Profiles per message for a profile rate: 1 up to 200 profiles/s, above that
// the fewest that keep messages at or below 200 per second (100 to 200 Hz).
std::uint32_t auto_batch(double profiles_per_s);

// Writes `count` points as kPointStep-byte records to `out`. The camera
// reports a point without a return as an all-zero record, which decodes to
// the lowest y and the lowest z the profile can hold; measured points differ
// in y from each other, so a (y, z) pair that is the profile's minimum in both
// and occurs more than once marks missing points, written as NaN. (A single
// missing point in a profile cannot be told from a measurement and keeps its
// decoded coordinates.) Returns how many points were written as NaN.
std::uint32_t pack_row(const mok_scan_point_t* points, std::uint32_t count, std::uint32_t index,
                       std::uint8_t* out);

}  // namespace bridge
