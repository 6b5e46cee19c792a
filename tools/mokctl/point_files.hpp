// Profile points leaving mokctl in usable form: a CSV with one row per point
// and a PLY point cloud of the accumulated profiles, both written as results
// arrive. The scan direction of the cloud comes from the profile index times
// a pitch, or from the device time times a speed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include <mok/mok.hpp>

namespace mokctl {

// A point without a laser return comes as an all-zero record, which decodes
// to the lowest y and the lowest z a profile can hold (the payload's offsets,
// negated: not zero). Measured points differ in y from each other, so that
// corner occurring more than once marks the missing points; once, it is a
// measurement. (The bridge's profiles topic uses the same rule.)
struct NoReturn {
  float y = 0;
  float z = 0;
  bool marked = false;  // the corner occurs more than once
  bool is(const mok::Point& p) const { return marked && p.y == y && p.z == z; }
};

template <class Points>
NoReturn no_return_in(const Points& points) {
  NoReturn c{std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity()};
  for (const mok::Point& p : points) {
    c.y = std::min(c.y, p.y);
    c.z = std::min(c.z, p.z);
  }
  std::size_t at_corner = 0;
  for (const mok::Point& p : points) at_corner += p.y == c.y && p.z == c.z;
  c.marked = at_corner > 1;
  return c;
}

// How the cloud's x axis (the scan direction, mm) is laid out.
struct ScanAxis {
  double pitch_mm = 1.0;             // per profile, unless speed is set
  std::optional<double> speed_mm_s;  // x from the device time stamps
};

class PointWriter {
 public:
  // Opens the files that have a path (either may be empty); throws
  // Failure(kUsage) when one cannot be created.
  PointWriter(const std::string& csv_path, const std::string& ply_path, ScanAxis axis);
  ~PointWriter();
  PointWriter(const PointWriter&) = delete;
  PointWriter& operator=(const PointWriter&) = delete;

  bool wanted() const { return csv_ || ply_; }
  // One profile; `index` counts results from 0.
  void add(std::uint64_t index, const mok::ScanResult& result);
  // Completes the files (the cloud's header gets its point count); throws
  // Failure(kFailed) on a write error.
  void close();
  std::uint64_t cloud_points() const { return ply_points_; }

 private:
  std::string csv_path_, ply_path_;
  ScanAxis axis_;
  std::FILE* csv_ = nullptr;
  std::FILE* ply_ = nullptr;
  std::optional<std::uint64_t> first_pts_;
  std::uint64_t ply_points_ = 0;
};

}  // namespace mokctl
