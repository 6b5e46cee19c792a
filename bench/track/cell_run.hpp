// One live run of the simulated robot cell through real sockets: the
// simulator streams profiles over TCP to a libmok client and the robot's
// poses over UDP, both into a tracker; beside it, the two shortcuts
// integrators use today (fixed delay, latest pose). Every pose received asks
// all three for the torch's correction and records the answers with the
// ground truth's time, for the benchmark's figures and the end-to-end test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "common/result.hpp"
#include "mok/mok_track.h"
#include "sim/cell/scenario.hpp"

namespace celltrack {

// A lateral/vertical correction in the tool frame, mm.
using Correction2 = Eigen::Vector2d;

struct Query {
  double t_pose_s = 0;  // true time of the pose asked about (since the run's start)
  double t_now_s = 0;   // true time at which it was received (the fixed delay applies then)
  mok_correction_t ours{};
  std::optional<Correction2> latest_pose;  // the latest-pose shortcut, for the same pose
  std::optional<Correction2> fixed_delay;  // the fixed-delay shortcut, for the torch now
};

// A point of a seam path sampled after the run by distance.
struct PathPoint {
  double s_mm = 0;
  Eigen::Vector3d p_base;
};

struct RunOptions {
  camsim::cell::Scenario scenario;
  std::string pose_log;  // the robot's pose log, when wanted
  double tail_s = 0.3;   // keep listening this long after the poses stop
  // The mounting the trackers are given (a calibration's, a drawing's);
  // the cell's true one when empty.
  std::optional<Eigen::Isometry3d> mount;
};

struct RunRecord {
  std::vector<Query> queries;
  std::vector<PathPoint> path;              // ours
  std::vector<PathPoint> latest_pose_path;  // the latest-pose shortcut's
  int32_t status_after_poses_stopped = -1;  // the correction asked once the poses stopped
  mok_tracker_stats_t stats{};
  std::uint64_t results = 0, poses = 0;
};

// Tracker settings for a scenario: the pose path's fixed latency configured.
mok_tracker_config_t tracker_config(const camsim::cell::Scenario& scenario);
mok_pose_t to_pose(const Eigen::Isometry3d& X);
Eigen::Isometry3d from_pose(const mok_pose_t& p);

// Runs the scenario in real time (its length plus a second or so).
mok::Result<RunRecord, std::string> run_cell(const RunOptions& options);

}  // namespace celltrack
