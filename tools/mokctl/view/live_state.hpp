// What the viewer knows about the camera at any instant: the latest profile,
// the seam trail, the rolling rates and a bounded history of whole profiles
// for download. The library's callback threads only copy into it under a
// short lock; everything slow (JSON, files, HTTP) reads copies.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <mok/mok.hpp>

namespace mokctl::view {

struct YZ {
  float y = 0, z = 0;
};

// One received profile as kept in the history.
struct Profile {
  double t_s = 0;         // host receive time since the viewer started
  std::uint64_t pts = 0;  // device time stamp
  bool seam_found = false;
  YZ seam;
  float width = 0, height = 0, angle = 0;
  std::vector<YZ> points;
};

struct HistoryLimits {
  double seconds = 10;                   // profiles older than this are let go
  std::size_t points = 4'000'000;        // and the oldest go first beyond this many points in all
  std::size_t trail = 90;                // seam positions in the trail
  double trail_interval_s = 1.0 / 30.0;  // at most one trail entry per interval
};

// A consistent copy of the live figures.
struct LiveCopy {
  std::uint64_t results = 0;  // profiles received since start
  std::uint64_t evicted = 0;  // profiles let go from the history early for its point budget
  std::optional<Profile> latest;
  std::vector<YZ> trail;  // oldest first
  std::optional<mok::State> state;
  double state_since_s = 0;   // when the state last changed
  double last_result_s = -1;  // when the latest profile arrived, -1 before the first
  double latency_sum_ms = 0;  // over the results with a usable latency
  std::uint64_t latency_n = 0;
  double history_span_s = 0;  // how far back the history reaches now
};

class LiveState {
 public:
  explicit LiveState(HistoryLimits limits = {});

  // Library callback threads: copy and return.
  void on_scan(const mok::ScanResult& r);
  void on_state(mok::State s);
  // Takes in one profile (its t_s on this state's clock); `latency_ms` < 0: unknown.
  void push(Profile p, double latency_ms);

  // Copies the figures; `with_points` false leaves the latest profile's points out.
  LiveCopy copy(bool with_points = true) const;
  // The profiles received in the last `seconds` (bounded by the history limits).
  std::vector<Profile> history(double seconds) const;
  double now_s() const;

  // Pure: a profile from its received form (the host time given).
  static void fill(Profile& p, const mok::ScanResult& r, double t_s);

 private:
  void trim(double now);

  const HistoryLimits limits_;
  const std::chrono::steady_clock::time_point t0_;
  mutable std::mutex mu_;
  std::deque<Profile> history_;
  std::vector<std::vector<YZ>> spare_;  // point buffers of let-go profiles, reused
  std::size_t history_points_ = 0;
  std::uint64_t results_ = 0, evicted_ = 0;
  std::deque<YZ> trail_;
  double trail_last_s_ = -1;
  std::optional<mok::State> state_;
  double state_since_s_ = 0;
  double latency_sum_ms_ = 0;
  std::uint64_t latency_n_ = 0;
};

}  // namespace mokctl::view
