// The robot's recent tool poses on the host clock: bounded in count and age,
// interpolated at any time inside its window, and measured along the tool's
// path (arc length), which is how the seam path is indexed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "track/pose.hpp"

namespace mok::track {

struct PoseBufferSettings {
  std::size_t capacity = 4096;
  std::int64_t max_age_ns = 2'000'000'000;
  std::int64_t extrapolation_limit_ns = 5'000'000;
};

// One pose in the buffer; `s` is the tool's distance travelled (mm) since
// the first pose the buffer took, in time order. It is summed in chords of
// at least kArcStepMm from an anchor pose, not pose to pose: a robot standing
// still reports positions that wobble by micrometres, and summing every
// wobble would carry the path on by millimetres during a stop.
struct TimedPose {
  std::int64_t t_ns = 0;
  Pose X_base_tool;
  double s = 0.0;
  Eigen::Vector3d anchor = Eigen::Vector3d::Zero();  // where the current chord starts
  double anchor_s = 0.0;
};

inline constexpr double kArcStepMm = 0.5;

enum class Lookup { Ok, Stale, Waiting, NoPose };

struct PoseAt {
  Lookup status = Lookup::NoPose;
  TimedPose pose;
  bool extrapolated = false;  // past the newest pose, within the limit
};

enum class Insert { Ok, Past, Duplicate };

class PoseBuffer {
 public:
  explicit PoseBuffer(PoseBufferSettings settings = {}) : settings_(settings) {}

  // Takes a checked pose at t_ns, in any order; refuses one older than the
  // newest by more than max_age_ns, and a second pose at the same time.
  Insert insert(std::int64_t t_ns, const Pose& X_base_tool);
  // The pose at t_ns: interpolated inside the window, carried on with the
  // newest motion up to the extrapolation limit past it, else Waiting (too
  // new) or Stale (older than the oldest pose kept).
  PoseAt at(std::int64_t t_ns) const;
  // Unit direction of travel at distance s: from the tool's position
  // `window_mm` of path earlier to its position at s; `fallback` when the
  // tool has not moved that far yet.
  Eigen::Vector3d direction(double s, double window_mm, const Eigen::Vector3d& fallback) const;

  bool empty() const { return poses_.empty(); }
  std::size_t size() const { return poses_.size(); }
  const TimedPose& newest() const { return poses_.back(); }
  void clear() { poses_.clear(); }

 private:
  Eigen::Vector3d position_at_distance(double s) const;
  static void follow(const TimedPose& prev, TimedPose& cur);
  void trim();

  PoseBufferSettings settings_;
  std::deque<TimedPose> poses_;  // by time
};

}  // namespace mok::track
