// The robot cell as the simulator's profile source: a cell profile in the
// form the scan stream encodes (points, the eight seam points, width, height,
// angle) with the cell camera's own time stamp; and the command line's cell
// options (scenario, pose destination, truth and mounting files).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/result.hpp"
#include "sim/cell/cell.hpp"
#include "sim/scene.hpp"
#include "sim/simulator.hpp"

namespace camsim {

// The profile of frame `frame` at scene time t_s; `pts_us` receives the cell
// camera's clock at the capture.
Profile cell_scan_profile(const cell::Cell& cell, std::uint64_t frame, double t_s, std::uint64_t& pts_us);

struct CellCommand {
  std::string scenario;    // none: the weaving scene
  std::string poses_to;    // HOST:PORT for the pose datagrams
  std::string truth_path;  // the ground truth CSV
  std::string mount_path;  // the mounting file a tracker reads (the true X_tool_sensor)
};

// Sets `o` up for the cell the command asks for (the cell's scan rate unless
// one was given); nothing without a scenario.
mok::Result<void, std::string> configure_cell(Options& o, const CellCommand& c, bool rate_given);
// The truth and mounting files, once the run's start is known.
mok::Result<void, std::string> write_cell_files(const Options& o, const CellCommand& c,
                                                std::chrono::steady_clock::time_point start);

}  // namespace camsim
