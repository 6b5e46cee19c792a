// Converts the cell's sensor-frame profile to the scan stream's profile. The
// cell reports the seam's root; the other seam points follow from the
// groove's width and depth (the plate's surface is nearer the sensor, at a
// smaller range).
#include "sim/cell_scan.hpp"

#include <cmath>
#include <cstdio>
#include <memory>

#include "sim/cell/sphere_cell.hpp"
#include "sim/cell/truth.hpp"

namespace camsim {
namespace {

Point pt(double y, double z) { return Point{static_cast<float>(y), static_cast<float>(z), true}; }

}  // namespace

Profile cell_scan_profile(const cell::Cell& cell, std::uint64_t frame, double t_s, std::uint64_t& pts_us) {
  const cell::CellProfile c = cell.scan(frame, t_s);
  pts_us = c.t_device_us;
  Profile p;
  p.frame = frame;
  p.points.resize(c.points.size());
  for (std::size_t i = 0; i < c.points.size(); ++i)
    if (c.points[i].valid) p.points[i] = pt(c.points[i].y_mm, c.points[i].z_mm);
  p.seam_found = c.seam_found;
  if (!c.seam_found) return p;
  const double y = c.seam_y_mm, z = c.seam_z_mm, w = c.width_mm / 2, top = c.seam_z_mm - c.height_mm;
  p.seam_path_y = y;
  p.seam_points[kRoot] = pt(y, z);
  p.seam_points[kLeftEdge] = pt(y - w, top);
  p.seam_points[kRightEdge] = pt(y + w, top);
  p.seam_points[kLeftInner] = pt(y - w / 2, (z + top) / 2);
  p.seam_points[kRightInner] = pt(y + w / 2, (z + top) / 2);
  p.seam_points[kTopCentre] = pt(y, top);
  p.seam_points[kLeftRef] = pt(y - w - 5, top);
  p.seam_points[kRightRef] = pt(y + w + 5, top);
  p.seam_point_idx = kRoot;
  p.seam_width = static_cast<float>(c.width_mm);
  p.seam_height = static_cast<float>(c.height_mm);
  p.seam_angle = static_cast<std::int16_t>(std::lround(c.angle_deg));
  return p;
}

mok::Result<void, std::string> configure_cell(Options& o, const CellCommand& c, bool rate_given) {
  if (c.scenario.empty()) return {};
  // The calibration cells: the standard cell's robot and sensor running the
  // calibration program over a sphere or a flat plate.
  const bool sphere = c.scenario == "sphere", plane = c.scenario == "plane";
  const auto scenario = cell::scenario_by_name(sphere || plane ? "standard" : c.scenario);
  if (!scenario) return mok::err("unknown cell scenario " + c.scenario + " (standard, short, sphere or plane)");
  o.cell = sphere  ? cell::make_sphere_cell(*scenario)
           : plane ? cell::make_plane_cell(*scenario)
                   : std::make_shared<const cell::Cell>(*scenario);
  if (!rate_given) o.scan_rate = scenario->camera.scan_rate_hz;
  o.scene.point_count = scenario->camera.point_count;
  if (c.poses_to.empty()) return {};
  const auto colon = c.poses_to.rfind(':');
  char* end = nullptr;
  const unsigned long port =
      colon == std::string::npos ? 0 : std::strtoul(c.poses_to.c_str() + colon + 1, &end, 10);
  if (port == 0 || port > 65535 || *end != '\0') return mok::err("--poses-to wants HOST:PORT, not " + c.poses_to);
  o.cell_poses.host = c.poses_to.substr(0, colon);
  o.cell_poses.port = static_cast<std::uint16_t>(port);
  return {};
}

mok::Result<void, std::string> write_cell_files(const Options& o, const CellCommand& c,
                                                std::chrono::steady_clock::time_point start) {
  if (!o.cell) return {};
  if (!c.truth_path.empty()) {
    const auto t0 = std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
    if (auto r = cell::write_truth(c.truth_path, *o.cell, static_cast<std::uint64_t>(t0)); !r) return r;
  }
  if (c.mount_path.empty()) return {};
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(c.mount_path.c_str(), "w"), &std::fclose);
  if (!f) return mok::err("cannot write " + c.mount_path);
  const Eigen::Isometry3d& X = o.cell->X_tool_sensor();
  const Eigen::Quaterniond q(X.linear());
  std::fprintf(
      f.get(),
      "{\n  \"format\": \"mok-mount/1\",\n  \"X_tool_sensor\": {\n    \"translation_mm\": [%.6f, %.6f, %.6f],\n"
      "    \"quaternion_wxyz\": [%.9f, %.9f, %.9f, %.9f]\n  },\n"
      "  \"calibration\": { \"method\": \"simulated cell, true mounting\" }\n}\n",
      X.translation().x(), X.translation().y(), X.translation().z(), q.w(), q.x(), q.y(), q.z());
  if (std::ferror(f.get())) return mok::err("cannot write " + c.mount_path);
  return {};
}

}  // namespace camsim
