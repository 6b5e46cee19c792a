// LiveState: copies under one lock; history trimmed by age and point budget.
#include "live_state.hpp"

#include "../scan_stream.hpp"

namespace mokctl::view {
namespace {

// Profiles without points still cost their bookkeeping; this caps their number.
constexpr std::size_t kMaxProfiles = 200'000;

}  // namespace

LiveState::LiveState(HistoryLimits limits) : limits_(limits), t0_(std::chrono::steady_clock::now()) {}

double LiveState::now_s() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
}

void LiveState::fill(Profile& p, const mok::ScanResult& r, double t_s) {
  p.t_s = t_s;
  p.pts = r.pts();
  p.seam_found = r.seam_found();
  p.seam = {};
  if (auto s = r.seam_point()) p.seam = {s->y, s->z};
  p.width = r.seam_width();
  p.height = r.seam_height();
  p.angle = r.seam_angle();
  auto pts = r.points();
  p.points.resize(pts.size());
  for (std::size_t i = 0; i < pts.size(); ++i) p.points[i] = {pts[i].y, pts[i].z};
}

void LiveState::on_scan(const mok::ScanResult& r) {
  Profile p;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!spare_.empty()) {
      p.points = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  fill(p, r, now_s());
  push(std::move(p), latency_ms(r.pts()));
}

void LiveState::push(Profile p, double latency) {
  const double t = p.t_s;
  std::lock_guard<std::mutex> lock(mu_);
  ++results_;
  if (latency >= 0) {
    latency_sum_ms_ += latency;
    ++latency_n_;
  }
  if (p.seam_found && t - trail_last_s_ >= limits_.trail_interval_s) {
    trail_.push_back(p.seam);
    if (trail_.size() > limits_.trail) trail_.pop_front();
    trail_last_s_ = t;
  }
  history_points_ += p.points.size();
  history_.push_back(std::move(p));
  trim(t);
}

void LiveState::trim(double now) {
  // The newest profile always stays: it is the one on screen.
  while (history_.size() > 1 && (now - history_.front().t_s > limits_.seconds ||
                                 history_points_ > limits_.points || history_.size() > kMaxProfiles)) {
    if (now - history_.front().t_s <= limits_.seconds) ++evicted_;
    history_points_ -= history_.front().points.size();
    if (spare_.size() < 64) spare_.push_back(std::move(history_.front().points));
    history_.pop_front();
  }
}

void LiveState::on_state(mok::State s) {
  const double t = now_s();
  std::lock_guard<std::mutex> lock(mu_);
  if (state_ != s) state_since_s_ = t;
  state_ = s;
}

LiveCopy LiveState::copy(bool with_points) const {
  std::lock_guard<std::mutex> lock(mu_);
  LiveCopy c;
  c.results = results_;
  c.evicted = evicted_;
  if (!history_.empty()) {
    const Profile& last = history_.back();
    c.latest = Profile{last.t_s, last.pts, last.seam_found, last.seam, last.width, last.height, last.angle, {}};
    if (with_points) c.latest->points = last.points;
    c.last_result_s = last.t_s;
    c.history_span_s = last.t_s - history_.front().t_s;
  }
  c.trail.assign(trail_.begin(), trail_.end());
  c.state = state_;
  c.state_since_s = state_since_s_;
  c.latency_sum_ms = latency_sum_ms_;
  c.latency_n = latency_n_;
  return c;
}

std::vector<Profile> LiveState::history(double seconds) const {
  const double from = now_s() - seconds;
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Profile> out;
  for (const Profile& p : history_) {
    if (p.t_s >= from) out.push_back(p);
  }
  return out;
}

}  // namespace mokctl::view
