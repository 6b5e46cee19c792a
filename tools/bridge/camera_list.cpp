// Parsing of camera addresses, namespaces and the camera file (see camera_list.hpp).
#include "camera_list.hpp"

#include <cctype>
#include <set>
#include <sstream>

namespace bridge {
namespace {

std::string default_frame(const std::string& ns) {
  std::string f = ns;
  for (char& c : f) {
    if (c == '/') c = '_';
  }
  return f;
}

bool all_distinct(const std::vector<CameraConfig>& cams, std::string& error) {
  std::set<std::string> seen;
  for (const CameraConfig& c : cams) {
    if (!seen.insert(c.ns).second) {
      error = "namespace used twice: " + c.ns;
      return false;
    }
  }
  return true;
}

}  // namespace

bool normalize_namespace(std::string& ns, std::string& error) {
  while (!ns.empty() && ns.front() == '/') ns.erase(0, 1);
  while (!ns.empty() && ns.back() == '/') ns.pop_back();
  bool part_start = true;
  for (const char c : ns) {
    const auto u = static_cast<unsigned char>(c);
    const bool ok = c == '/' ? !part_start : (std::isalpha(u) || c == '_' || (!part_start && std::isdigit(u)));
    if (!ok || u > 127) {
      error = "invalid ROS namespace: " + ns;
      return false;
    }
    part_start = c == '/';
  }
  if (ns.empty()) {
    error = "the namespace must not be empty";
    return false;
  }
  return true;
}

bool cameras_from_addresses(const std::vector<std::string>& addresses, const std::string& ns,
                            std::vector<CameraConfig>& out, std::string& error) {
  std::string base = ns;
  if (!normalize_namespace(base, error)) return false;
  out.clear();
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const std::string cam_ns = addresses.size() == 1 ? base : base + "/cam" + std::to_string(i);
    out.push_back({addresses[i], cam_ns, default_frame(cam_ns)});
  }
  return true;
}

bool cameras_from_file_text(const std::string& text, std::vector<CameraConfig>& out, std::string& error) {
  out.clear();
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string s; words >> s;) w.push_back(s);
    if (w.empty()) continue;
    if (w.size() < 2 || w.size() > 3) {
      error = "line " + std::to_string(number) + ": expected ADDRESS NAMESPACE [FRAME_ID]";
      return false;
    }
    if (!normalize_namespace(w[1], error)) {
      error = "line " + std::to_string(number) + ": " + error;
      return false;
    }
    out.push_back({w[0], w[1], w.size() == 3 ? w[2] : default_frame(w[1])});
  }
  if (out.empty()) {
    error = "no camera in the file";
    return false;
  }
  return all_distinct(out, error);
}

}  // namespace bridge
