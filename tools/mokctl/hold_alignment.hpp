// Where a pose log lies in a recording when no clock says so: the robot's
// holds (its "holding still" flag) must fall where the profiles stop
// changing, and the moves between them where the profiles change. One time
// offset is searched; the holds' profiles must then be clearly stiller than
// the moves', or no offset explains them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <mok/mok.hpp>

namespace mokctl {

// How much a profile differs from an earlier one, mm: the mean over the
// columns with a laser return in either of the change in z, each capped, a
// column that gains or loses its return counting as the cap; NaN when
// neither has a return. Holding still leaves the noise; while the robot
// moves the sphere slides through the line.
double profile_change(std::span<const mok::Point> before, std::span<const mok::Point> now);

struct Hold {
  std::int64_t start_ns = 0, end_ns = 0;  // on the pose log's time line
};

struct Alignment {
  bool ok = false;
  std::int64_t offset_ns = 0;    // add to the pose log's times
  double hold_change_mm = 0;     // the mean change of the profiles inside the holds
  double between_change_mm = 0;  // and outside them
  std::string reason;            // when not ok
};

// Searches offsets in [lo_ns, hi_ns] (those that keep every hold inside the
// profiles' span, at most) in 1 ms steps for the one whose holds, each
// shrunk by `guard_ns`, hold profiles the stillest against those of the
// moves between them. `t_ns` ascending, the
// recording's time of each profile, `change_mm` its change (NaN: unknown).
Alignment align_holds(const std::vector<Hold>& holds, const std::vector<std::int64_t>& t_ns,
                      const std::vector<double>& change_mm, std::int64_t lo_ns, std::int64_t hi_ns,
                      std::int64_t guard_ns);

}  // namespace mokctl
