// PointWriter: the CSV is plain rows; the PLY (ASCII 1.0, readable by common
// point-cloud viewers) is written with a fixed-width vertex count that close()
// fills in, so the points can stream to the file as they arrive.
#include "point_files.hpp"

#include <cerrno>
#include <cstring>

#include "output_files.hpp"
#include "session.hpp"

namespace mokctl {
namespace {

constexpr const char* kCountField = "element vertex ";
constexpr int kCountWidth = 12;

std::FILE* open_checked(const std::string& path) {
  check_writable(path);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw Failure(kUsage, format("Cannot write %s: %s.", path.c_str(), std::strerror(errno)));
  return f;
}

}  // namespace

PointWriter::PointWriter(const std::string& csv_path, const std::string& ply_path, ScanAxis axis)
    : csv_path_(csv_path), ply_path_(ply_path), axis_(axis) {
  if (!csv_path.empty()) {
    csv_ = open_checked(csv_path);
    std::fputs("result,pts_us,point,y,z\n", csv_);
  }
  if (!ply_path.empty()) {
    ply_ = open_checked(ply_path);
    std::fprintf(ply_,
                 "ply\nformat ascii 1.0\ncomment mokctl profiles: x scan direction, y and z from the camera\n"
                 "%s%0*d\nproperty float x\nproperty float y\nproperty float z\nend_header\n",
                 kCountField, kCountWidth, 0);
  }
}

PointWriter::~PointWriter() {
  if (csv_) std::fclose(csv_);
  if (ply_) std::fclose(ply_);
}

void PointWriter::add(std::uint64_t index, const mok::ScanResult& result) {
  const auto points = result.points();
  if (csv_) {
    for (std::size_t i = 0; i < points.size(); ++i) {
      std::fprintf(csv_, "%llu,%llu,%zu,%.4f,%.4f\n", static_cast<unsigned long long>(index),
                   static_cast<unsigned long long>(result.pts()), i, points[i].y, points[i].z);
    }
  }
  if (ply_) {
    if (!first_pts_) first_pts_ = result.pts();
    const double t_s = static_cast<double>(result.pts() - std::min(result.pts(), *first_pts_)) / 1e6;
    const double x = axis_.speed_mm_s ? t_s * *axis_.speed_mm_s : static_cast<double>(index) * axis_.pitch_mm;
    const NoReturn none = no_return_in(points);
    for (const mok::Point& p : points) {
      if (none.is(p)) continue;  // not part of the part
      std::fprintf(ply_, "%.4f %.4f %.4f\n", x, p.y, p.z);
      ++ply_points_;
    }
  }
}

void PointWriter::close() {
  int error = 0;
  std::string failed;
  if (csv_) {
    if (std::ferror(csv_) || std::fclose(csv_) != 0) {
      error = errno;
      failed = csv_path_;
    }
    csv_ = nullptr;
  }
  if (ply_) {
    // The count field sits at a fixed place in the header.
    const long at =
        static_cast<long>(std::strlen("ply\nformat ascii 1.0\n") +
                          std::strlen("comment mokctl profiles: x scan direction, y and z from the camera\n") +
                          std::strlen(kCountField));
    const bool ok =
        !std::ferror(ply_) && std::fseek(ply_, at, SEEK_SET) == 0 &&
        std::fprintf(ply_, "%0*llu", kCountWidth, static_cast<unsigned long long>(ply_points_)) == kCountWidth;
    if ((std::fclose(ply_) != 0 || !ok) && failed.empty()) {
      error = errno;
      failed = ply_path_;
    }
    ply_ = nullptr;
  }
  if (!failed.empty())
    throw Failure(kFailed, format("Cannot write %s: %s.", failed.c_str(), std::strerror(error)));
}

}  // namespace mokctl
