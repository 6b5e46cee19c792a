// Errors against the cell's ground truth: per-sample errors by distance,
// their RMS and maximum over the whole run and away from the workpiece's
// discontinuities, the behaviour at the height step, and the plot.
#pragma once

#include <string>
#include <vector>

#include "cell_run.hpp"
#include "sim/cell/cell.hpp"

namespace celltrack {

struct ErrorSample {
  double x_mm = 0;  // where along the path (base x of the seam point, or of the torch)
  double err_mm = 0;
};

struct Summary {
  double rms = 0, max = 0;
  std::size_t n = 0;
};

struct StepFigures {
  double max_mm = 0;     // the largest error within 10 mm of the step
  double before_mm = 0;  // the error exceeds 0.1 mm from this far before the step...
  double after_mm = 0;   // ...to this far after it
};

struct Errors {
  std::vector<ErrorSample> seam, latest_seam;    // seam path (ours, latest pose)
  std::vector<ErrorSample> ours, latest, fixed;  // corrections
};

Errors compute_errors(const camsim::cell::Cell& cell, const RunRecord& run);

// More than `margin_mm` from the height step and from the gap's ends.
bool away_from_discontinuities(const camsim::cell::WorkpieceParams& w, double x_mm, double margin_mm = 1.0);
Summary summarize(const std::vector<ErrorSample>& s, const camsim::cell::WorkpieceParams* away_from = nullptr);
StepFigures at_step(const std::vector<ErrorSample>& s, double step_x_mm);

// Correction error against distance for the three methods, log scale, as SVG.
bool write_svg(const std::string& path, const Errors& e, const camsim::cell::WorkpieceParams& w);

}  // namespace celltrack
