// The mounting file the tracker reads ("mok-mount/1": X_tool_sensor as
// translation and (w, x, y, z) quaternion), with a "calibration" block that
// records how the mounting was found and how well.
#pragma once

#include <string>

#include "mok_calib/solve.hpp"

namespace mok::calib {

// The file's text; `solution` (may be null) fills the calibration block.
std::string mount_json(const Pose& X_tool_sensor, const Solution* solution, const std::string& method);

struct MountFile {
  bool ok = false;
  std::string error;  // why the text was refused
  Pose X_tool_sensor = Pose::Identity();
  double residual_rms_mm = 0;  // from the calibration block when there is one
  Eigen::Vector3d sigma_translation_mm = Eigen::Vector3d::Zero();
  Eigen::Vector3d sigma_rotation_deg = Eigen::Vector3d::Zero();
  std::string method;
};

// Refuses text that does not parse, lacks a field, or whose quaternion's
// norm is off by more than 1e-3; normalises one within that tolerance.
MountFile parse_mount(const std::string& text);

bool write_text_file(const std::string& path, const std::string& text, std::string& error);
bool read_text_file(const std::string& path, std::string& text, std::string& error);

}  // namespace mok::calib
