// The tracker's processing time per result at a given result rate: an
// in-process replay of the cell's seam reports and poses, paced in real
// time, each call timed on its own.
#pragma once

#include "sim/cell/scenario.hpp"

namespace celltrack {

struct Timing {
  double result_p50_us = 0, result_p99_us = 0;  // mok_tracker_push_seam
  double pose_p50_us = 0, pose_p99_us = 0;      // mok_tracker_push_pose
  double query_p50_us = 0, query_p99_us = 0;    // mok_tracker_correction
  std::size_t results = 0;
  double achieved_rate = 0;  // results per second actually fed
};

Timing replay_timing(const camsim::cell::Scenario& scenario, double results_per_s, double seconds);

}  // namespace celltrack
