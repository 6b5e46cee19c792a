// The two robot programs. The speed profile is integrated in closed form per
// leg (a ramp, then a plateau), so a pose at any time costs a short walk over
// the legs and no numerical drift.
#include "motion.hpp"

#include <algorithm>
#include <cmath>

namespace camsim::cell {

PathMotion::PathMotion(const Eigen::Isometry3d& X_base_start, std::vector<Leg> legs, double accel_mm_s2)
    : X_base_start_(X_base_start) {
  const double a = std::max(accel_mm_s2, 1e-9);
  double t = 0, s = 0, v = 0;
  for (const Leg& leg : legs) {
    Knot k{t, s, v, leg.speed_mm_s, std::min(std::abs(leg.speed_mm_s - v) / a, leg.duration_s), leg.duration_s};
    const double dir = leg.speed_mm_s >= v ? 1.0 : -1.0;
    const double v_end = v + dir * a * k.ramp_s;
    s += v * k.ramp_s + 0.5 * dir * a * k.ramp_s * k.ramp_s + v_end * (leg.duration_s - k.ramp_s);
    k.v1 = v_end;
    v = v_end;
    t += leg.duration_s;
    knots_.push_back(k);
  }
  duration_s_ = t;
}

MotionSample PathMotion::at(double t_s) const {
  double s = 0, v = 0;
  if (!knots_.empty()) {
    const double t = std::clamp(t_s, 0.0, duration_s_);
    auto it = std::upper_bound(knots_.begin(), knots_.end(), t, [](double x, const Knot& k) { return x < k.t0; });
    const Knot& k = *std::prev(it);
    const double dt = std::min(t - k.t0, k.duration_s);
    const double ramp = std::min(dt, k.ramp_s);
    const double accel = k.ramp_s > 0 ? (k.v1 - k.v0) / k.ramp_s : 0.0;
    v = k.v0 + accel * ramp;
    s = k.s0 + k.v0 * ramp + 0.5 * accel * ramp * ramp + v * (dt - ramp);
    if (t_s >= duration_s_ || t_s < 0) v = 0;
  }
  MotionSample m;
  m.X_base_tool = X_base_start_;
  m.X_base_tool.translation() += s * X_base_start_.linear().col(0);
  m.s_mm = s;
  m.speed_mm_s = v;
  m.holding = false;
  return m;
}

double PathMotion::time_at(double s_mm) const {
  double lo = 0, hi = duration_s_;
  for (int i = 0; i < 60; ++i) {
    const double mid = (lo + hi) / 2;
    (at(mid).s_mm < s_mm ? lo : hi) = mid;
  }
  return hi;
}

PoseProgram::PoseProgram(std::vector<HoldPose> poses, double move_s) : poses_(std::move(poses)), move_s_(move_s) {}

double PoseProgram::duration_s() const {
  double d = 0;
  for (std::size_t i = 0; i < poses_.size(); ++i) d += (i ? move_s_ : 0.0) + poses_[i].hold_ms / 1000;
  return d;
}

MotionSample PoseProgram::at(double t_s) const {
  MotionSample m;
  if (poses_.empty()) return m;
  double t = std::max(t_s, 0.0);
  double s = 0;
  for (std::size_t i = 0; i < poses_.size(); ++i) {
    if (i > 0) {
      const Eigen::Isometry3d& a = poses_[i - 1].X_base_tool;
      const Eigen::Isometry3d& b = poses_[i].X_base_tool;
      const double len = (b.translation() - a.translation()).norm();
      if (t < move_s_) {
        const double f = t / move_s_;
        m.X_base_tool.linear() =
            Eigen::Quaterniond(a.linear()).slerp(f, Eigen::Quaterniond(b.linear())).toRotationMatrix();
        m.X_base_tool.translation() = a.translation() + f * (b.translation() - a.translation());
        m.s_mm = s + f * len;
        m.speed_mm_s = len / move_s_;
        return m;
      }
      t -= move_s_;
      s += len;
    }
    const double hold_s = poses_[i].hold_ms / 1000;
    if (t < hold_s || i + 1 == poses_.size()) {
      m.X_base_tool = poses_[i].X_base_tool;
      m.s_mm = s;
      m.holding = t < hold_s;
      return m;
    }
    t -= hold_s;
  }
  return m;
}

}  // namespace camsim::cell
