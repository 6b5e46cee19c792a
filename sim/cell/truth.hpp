// The run's ground truth as one CSV file, for checking a tracker outside
// this process: the true seam sampled along the workpiece, and the tool's
// true poses at their true times.
//
//   kind,t_s,t_host_ns,s_mm,x_mm,y_mm,z_mm,qw,qx,qy,qz,flags
//   seam rows: t_s and t_host_ns empty, s_mm = x_base, (x,y,z) the seam root in
//              the base frame, q empty, flags 1 where the seam is present (0 in the gap);
//   tool rows: t_s since the run's start, t_host_ns = t0_host_ns + t_s, s_mm the
//              distance travelled, X_base_tool, flags bit 0 while holding still.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.hpp"

namespace camsim::cell {

class Cell;

// Seam rows every seam_step_mm over the plate, tool rows every tool_step_s
// over the run.
mok::Result<void, std::string> write_truth(const std::string& path, const Cell& cell, std::uint64_t t0_host_ns,
                                           double seam_step_mm = 0.1, double tool_step_s = 0.001);

}  // namespace camsim::cell
