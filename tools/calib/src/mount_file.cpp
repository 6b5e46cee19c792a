// Mounting file reading and writing (see mount_file.hpp), on nlohmann-json.
#include "mok_calib/mount_file.hpp"

#include <cmath>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace mok::calib {
namespace {

constexpr const char* kFormat = "mok-mount/1";
constexpr double kQuaternionTolerance = 1e-3;

nlohmann::json vec(const Eigen::Vector3d& v) { return {v.x(), v.y(), v.z()}; }

Eigen::Vector3d read_vec3(const nlohmann::json& j) {
  return {j.at(0).get<double>(), j.at(1).get<double>(), j.at(2).get<double>()};
}

}  // namespace

std::string mount_json(const Pose& X_tool_sensor, const Solution* s, const std::string& method) {
  const Eigen::Vector4d q = quaternion_wxyz(X_tool_sensor);
  nlohmann::json j;
  j["format"] = kFormat;
  j["X_tool_sensor"] = {{"translation_mm", vec(X_tool_sensor.translation())},
                        {"quaternion_wxyz", {q(0), q(1), q(2), q(3)}}};
  if (s) {
    std::vector<double> view_rms;
    for (double r : s->view_rms_mm) view_rms.push_back(std::isnan(r) ? -1.0 : r);
    j["calibration"] = {{"method", method},
                        {"status", status_name(s->status)},
                        {"residual_rms_mm", s->residual_rms_mm},
                        {"noise_sigma_mm", s->noise_sigma_mm},
                        {"sigma_translation_mm", vec(s->sigma_translation_mm)},
                        {"sigma_rotation_deg", vec(s->sigma_rotation_deg)},
                        {"poses", s->views_used},
                        {"pose_rms_mm", view_rms},
                        {"weakest_direction", s->weakest_direction}};
  }
  return j.dump(2) + "\n";
}

MountFile parse_mount(const std::string& text) {
  MountFile out;
  try {
    const auto j = nlohmann::json::parse(text);
    if (j.at("format").get<std::string>() != kFormat) {
      out.error = "format is not " + std::string(kFormat);
      return out;
    }
    const auto& X = j.at("X_tool_sensor");
    const auto& q = X.at("quaternion_wxyz");
    const Eigen::Vector4d q_wxyz(q.at(0).get<double>(), q.at(1).get<double>(), q.at(2).get<double>(),
                                 q.at(3).get<double>());
    if (std::abs(q_wxyz.norm() - 1.0) > kQuaternionTolerance) {
      out.error = "quaternion_wxyz is not a unit quaternion";
      return out;
    }
    out.X_tool_sensor = pose_from(read_vec3(X.at("translation_mm")), q_wxyz);
    if (j.contains("calibration")) {
      const auto& c = j["calibration"];
      out.method = c.value("method", "");
      out.residual_rms_mm = c.value("residual_rms_mm", 0.0);
      if (c.contains("sigma_translation_mm")) out.sigma_translation_mm = read_vec3(c["sigma_translation_mm"]);
      if (c.contains("sigma_rotation_deg")) out.sigma_rotation_deg = read_vec3(c["sigma_rotation_deg"]);
    }
    out.ok = true;
  } catch (const nlohmann::json::exception& e) {
    out.error = e.what();
  }
  return out;
}

bool write_text_file(const std::string& path, const std::string& text, std::string& error) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  if (!f.flush()) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

bool read_text_file(const std::string& path, std::string& text, std::string& error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot open " + path;
    return false;
  }
  std::ostringstream ss;
  ss << f.rdbuf();
  text = ss.str();
  return true;
}

}  // namespace mok::calib
