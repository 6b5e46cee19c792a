// Pose buffer: ordered insertion, arc length, interpolation, travel direction.
#include "track/pose_buffer.hpp"

#include <algorithm>

namespace mok::track {

Insert PoseBuffer::insert(std::int64_t t_ns, const Pose& X_base_tool) {
  if (!poses_.empty() && t_ns < poses_.back().t_ns - settings_.max_age_ns) return Insert::Past;
  const auto at = std::lower_bound(poses_.begin(), poses_.end(), t_ns,
                                   [](const TimedPose& p, std::int64_t t) { return p.t_ns < t; });
  if (at != poses_.end() && at->t_ns == t_ns) return Insert::Duplicate;
  auto it = poses_.insert(at, TimedPose{t_ns, X_base_tool, 0.0, X_base_tool.p, 0.0});
  if (it == poses_.begin()) {
    const auto next = std::next(it);
    it->s = it->anchor_s = next == poses_.end() ? 0.0 : next->s - (next->X_base_tool.p - it->X_base_tool.p).norm();
  } else {
    // A late pose lands between two others: every later distance follows
    // from it again.
    for (; it != poses_.end(); ++it) follow(*std::prev(it), *it);
  }
  trim();
  return Insert::Ok;
}

void PoseBuffer::follow(const TimedPose& prev, TimedPose& cur) {
  const double chord = (cur.X_base_tool.p - prev.anchor).norm();
  cur.s = std::max(prev.s, prev.anchor_s + chord);
  if (chord >= kArcStepMm) {
    cur.anchor = cur.X_base_tool.p;
    cur.anchor_s = cur.s;
  } else {
    cur.anchor = prev.anchor;
    cur.anchor_s = prev.anchor_s;
  }
}

void PoseBuffer::trim() {
  const std::int64_t oldest = poses_.back().t_ns - settings_.max_age_ns;
  while (poses_.size() > settings_.capacity || (poses_.size() > 1 && poses_.front().t_ns < oldest)) {
    poses_.pop_front();
  }
}

PoseAt PoseBuffer::at(std::int64_t t_ns) const {
  if (poses_.empty()) return {Lookup::NoPose, {}};
  if (t_ns < poses_.front().t_ns) return {Lookup::Stale, {}};
  const TimedPose& last = poses_.back();
  if (t_ns >= last.t_ns) {
    if (t_ns - last.t_ns > settings_.extrapolation_limit_ns) return {Lookup::Waiting, {}};
    if (poses_.size() < 2 || t_ns == last.t_ns) return {Lookup::Ok, last, t_ns != last.t_ns};
    // Within the limit the newest velocity carries on; the rotation holds.
    const TimedPose& prev = poses_[poses_.size() - 2];
    const double f = static_cast<double>(t_ns - last.t_ns) / static_cast<double>(last.t_ns - prev.t_ns);
    const Eigen::Vector3d step = f * (last.X_base_tool.p - prev.X_base_tool.p);
    return {Lookup::Ok,
            {t_ns, Pose{last.X_base_tool.p + step, last.X_base_tool.q}, last.s + step.norm(), {}, 0},
            true};
  }
  const auto hi = std::upper_bound(poses_.begin(), poses_.end(), t_ns,
                                   [](std::int64_t t, const TimedPose& p) { return t < p.t_ns; });
  const TimedPose& b = *hi;
  const TimedPose& a = *std::prev(hi);
  const double f = static_cast<double>(t_ns - a.t_ns) / static_cast<double>(b.t_ns - a.t_ns);
  return {Lookup::Ok, {t_ns, interpolate(a.X_base_tool, b.X_base_tool, f), a.s + f * (b.s - a.s), {}, 0}};
}

Eigen::Vector3d PoseBuffer::position_at_distance(double s) const {
  const auto hi =
      std::lower_bound(poses_.begin(), poses_.end(), s, [](const TimedPose& p, double d) { return p.s < d; });
  if (hi == poses_.begin()) return poses_.front().X_base_tool.p;
  if (hi == poses_.end()) return poses_.back().X_base_tool.p;
  const TimedPose& a = *std::prev(hi);
  const double f = hi->s > a.s ? (s - a.s) / (hi->s - a.s) : 0.0;
  return a.X_base_tool.p + f * (hi->X_base_tool.p - a.X_base_tool.p);
}

Eigen::Vector3d PoseBuffer::direction(double s, double window_mm, const Eigen::Vector3d& fallback) const {
  if (poses_.empty()) return fallback;
  const Eigen::Vector3d chord = position_at_distance(s) - position_at_distance(s - window_mm);
  // Less than a quarter of the window: the tool has barely started moving.
  if (chord.norm() < 0.25 * window_mm) return fallback;
  return chord.normalized();
}

}  // namespace mok::track
