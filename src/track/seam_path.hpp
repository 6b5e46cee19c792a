// The seam in the base frame, stored by the distance the tool travels along
// its path rather than by time, so a robot that slows or stops piles samples
// onto the same stretch instead of smearing them. Memory is bounded by
// distance, whatever the scan rate or how long the robot stands still.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include <Eigen/Core>

namespace mok::track {

struct SeamPathSettings {
  double resolution_mm = 0.1;  // width of one stored stretch
  double memory_mm = 2000.0;   // kept behind the furthest scanned distance
  double smoothing_mm = 1.0;   // fit window around a queried distance
};

enum class SeamStatus { Ok, NotYetScanned, Gap };

struct SeamAt {
  SeamStatus status = SeamStatus::NotYetScanned;
  Eigen::Vector3d p_base = Eigen::Vector3d::Zero();
};

class SeamPath {
 public:
  explicit SeamPath(SeamPathSettings settings = {}) : settings_(settings) {}

  // A kept seam point at distance s.
  void add(double s, const Eigen::Vector3d& p_base);
  // A scan at distance s that found no seam (or one that was not kept): the
  // stretch counts as scanned, so the torch there is told "gap".
  void scanned(double s);
  // The seam at s: a straight-line fit of the points within half the
  // smoothing window on either side (their mean when they sit too close
  // together for a slope). Not yet scanned before the first kept point and
  // beyond the furthest scan; a gap where nothing was kept near s.
  SeamAt at(double s) const;

  // Distances of the oldest kept stretch and of the furthest scan.
  std::optional<double> first() const;
  std::optional<double> last() const;
  void clear();

 private:
  // Sums of the points in one stretch, their distances relative to the
  // stretch's centre so the squares keep their precision far along a seam.
  struct Bin {
    double n = 0, su = 0, suu = 0;
    Eigen::Vector3d sp = Eigen::Vector3d::Zero(), sup = Eigen::Vector3d::Zero();
  };
  std::int64_t index_of(double s) const;
  double centre_of(std::int64_t index) const;
  void trim();

  SeamPathSettings settings_;
  std::deque<Bin> bins_;
  std::int64_t first_index_ = 0;
  std::optional<double> first_kept_;
  std::optional<double> last_scanned_;
};

}  // namespace mok::track
