// Reading and writing the mounting file with nlohmann's JSON.
#include "track/mount_file.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

namespace mok::track {
namespace {

using nlohmann::json;

std::size_t line_at(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  return 1 + static_cast<std::size_t>(
                 std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

// The line of the last key of `keys` found, each searched after the one
// before: JSON values carry no positions, so a field's line is found by
// its name.
std::size_t line_of(std::string_view text, std::initializer_list<std::string_view> keys) {
  std::size_t at = 0, line = line_at(text, text.find('{'));
  std::string quoted;
  for (std::string_view key : keys) {
    // Appended piece by piece: "\"" + std::string(key) trips a false
    // -Wrestrict in g++ 12 at -O3.
    quoted.assign(1, '"').append(key).push_back('"');
    const std::size_t found = text.find(quoted, at);
    if (found == std::string_view::npos) break;
    at = found;
    line = line_at(text, found);
  }
  return line;
}

std::string failure(std::size_t line, const std::string& reason) { return std::to_string(line) + ": " + reason; }

// nlohmann's message without its "[json.exception...] parse error at line
// L, column C: " prefix (the line is reported separately).
std::string parse_reason(const json::parse_error& e) {
  std::string what = e.what();
  const std::size_t column = what.find("column ");
  const std::size_t colon = column == std::string::npos ? std::string::npos : what.find(": ", column);
  return "does not parse: " + (colon == std::string::npos ? what : what.substr(colon + 2));
}

Result<std::vector<double>, std::string> numbers(std::string_view text, const json& parent, const char* key,
                                                 std::size_t count) {
  const std::size_t line = line_of(text, {"X_tool_sensor", key});
  if (!parent.contains(key)) return err(failure(line, std::string("missing \"") + key + "\""));
  const json& v = parent.at(key);
  if (!v.is_array() || v.size() != count) {
    return err(failure(line, std::string(key) + " must be an array of " + std::to_string(count) + " numbers"));
  }
  std::vector<double> out;
  for (const json& x : v) {
    if (!x.is_number()) return err(failure(line, std::string(key) + " holds a value that is not a number"));
    out.push_back(x.get<double>());
  }
  return out;
}

}  // namespace

Result<Pose, std::string> parse_mount(std::string_view text) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::parse_error& e) {
    return err(failure(line_at(text, e.byte == 0 ? 0 : e.byte - 1), parse_reason(e)));
  } catch (const json::exception& e) {  // a number beyond a double's range, and the like
    return err(failure(1, std::string("not a mounting file: ") + e.what()));
  }
  if (!doc.is_object()) return err(failure(1, "the file must hold a JSON object"));
  if (!doc.contains("format")) return err(failure(line_of(text, {}), "missing \"format\""));
  if (!doc["format"].is_string() || doc["format"].get<std::string>() != kMountFormat) {
    return err(failure(line_of(text, {"format"}), "format must be \"" + std::string(kMountFormat) + "\""));
  }
  if (!doc.contains("X_tool_sensor") || !doc["X_tool_sensor"].is_object()) {
    return err(failure(line_of(text, {"X_tool_sensor"}), "missing the object \"X_tool_sensor\""));
  }
  const json& mount = doc["X_tool_sensor"];
  auto t = numbers(text, mount, "translation_mm", 3);
  if (!t) return err(t.error());
  auto q = numbers(text, mount, "quaternion_wxyz", 4);
  if (!q) return err(q.error());
  const auto& w = q.value();
  for (double v : t.value()) {
    if (!(std::abs(v) <= kMaxPositionMm)) {
      return err(failure(line_of(text, {"X_tool_sensor", "translation_mm"}),
                         "translation_mm holds a value beyond a thousand kilometres"));
    }
  }
  const double norm = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2] + w[3] * w[3]);
  const auto pose =
      checked_pose(Eigen::Vector3d(t.value()[0], t.value()[1], t.value()[2]), w[0], w[1], w[2], w[3]);
  if (!pose) {
    char reason[128];
    std::snprintf(reason, sizeof reason, "quaternion_wxyz has norm %.6g, not a rotation (must be 1 within %g)",
                  norm, kUnitTolerance);
    return err(failure(line_of(text, {"X_tool_sensor", "quaternion_wxyz"}), reason));
  }
  return *pose;
}

Result<Pose, std::string> load_mount(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return err(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  auto pose = parse_mount(text.str());
  if (!pose) return err(path + ":" + pose.error());
  return pose;
}

bool is_json_object(std::string_view text) { return json::parse(text, nullptr, false).is_object(); }

Result<bool, std::string> save_mount(const std::string& path, const Pose& X_tool_sensor,
                                     std::string_view calibration_json) {
  json doc = {{"format", kMountFormat},
              {"X_tool_sensor",
               {{"translation_mm", {X_tool_sensor.p.x(), X_tool_sensor.p.y(), X_tool_sensor.p.z()}},
                {"quaternion_wxyz",
                 {X_tool_sensor.q.w(), X_tool_sensor.q.x(), X_tool_sensor.q.y(), X_tool_sensor.q.z()}}}}};
  if (!calibration_json.empty()) {
    json calibration = json::parse(calibration_json, nullptr, false);
    if (!calibration.is_object()) return err(std::string("the calibration is not a JSON object"));
    doc["calibration"] = std::move(calibration);
  }
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << doc.dump(2) << '\n';
    if (!out.flush()) return err(partial + ": cannot be written");
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    std::remove(partial.c_str());
    return err(path + ": cannot be written");
  }
  return true;
}

}  // namespace mok::track
