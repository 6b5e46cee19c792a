// The bridge's camera file as an operator (or a broken editor) writes it:
// reading it never fails without saying why, and the cameras it gives have
// namespaces that normalise to themselves and differ from each other.
#include "camera_list.hpp"

#include <set>
#include <string>
#include <vector>

#include "check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<bridge::CameraConfig> cameras;
  std::string error;
  const bool ok = bridge::cameras_from_file_text(text, cameras, error);
  FUZZ_CHECK(ok || !error.empty());
  if (!ok) return 0;
  std::set<std::string> seen;
  for (const auto& c : cameras) {
    std::string ns = c.ns;
    std::string why;
    FUZZ_CHECK(bridge::normalize_namespace(ns, why) && ns == c.ns);
    FUZZ_CHECK(seen.insert(c.ns).second);
    FUZZ_CHECK(!c.address.empty() && !c.frame_id.empty());
  }
  return 0;
}
