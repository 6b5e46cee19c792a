// Truth lookups and the SVG plot. A seam point is judged at its own x_base
// (lateral and vertical distance from the true seam there); a correction by
// the tool-frame lateral and vertical difference from the true one for the
// pose it was meant for.
#include "figures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace celltrack {
namespace {

using camsim::cell::Cell;

std::optional<Correction2> true_correction(const Cell& cell, double t_s) {
  const Eigen::Isometry3d X = cell.motion().at(t_s).X_base_tool;
  const auto seam = cell.seam_at_tool(X);
  if (!seam) return std::nullopt;
  const Eigen::Vector3d tool = X.linear().transpose() * (*seam - X.translation());
  return Correction2(tool.y(), tool.z());
}

void add_path(const Cell& cell, const std::vector<PathPoint>& path, std::vector<ErrorSample>& out) {
  for (const PathPoint& p : path) {
    const double x = p.p_base.x();
    if (!cell.workpiece().seam_present(x)) continue;
    const Eigen::Vector3d truth = cell.workpiece().seam_at(x);
    out.push_back({x, std::hypot(p.p_base.y() - truth.y(), p.p_base.z() - truth.z())});
  }
}

}  // namespace

Errors compute_errors(const Cell& cell, const RunRecord& run) {
  Errors e;
  add_path(cell, run.path, e.seam);
  add_path(cell, run.latest_pose_path, e.latest_seam);
  for (const Query& q : run.queries) {
    const double x_pose = cell.motion().at(q.t_pose_s).X_base_tool.translation().x();
    if (const auto truth = true_correction(cell, q.t_pose_s)) {
      if (q.ours.status == MOK_TRACK_OK)
        e.ours.push_back({x_pose, (Correction2(q.ours.lateral_mm, q.ours.vertical_mm) - *truth).norm()});
      if (q.latest_pose) e.latest.push_back({x_pose, (*q.latest_pose - *truth).norm()});
    }
    if (const auto truth = true_correction(cell, q.t_now_s); truth && q.fixed_delay)
      e.fixed.push_back(
          {cell.motion().at(q.t_now_s).X_base_tool.translation().x(), (*q.fixed_delay - *truth).norm()});
  }
  return e;
}

bool away_from_discontinuities(const camsim::cell::WorkpieceParams& w, double x, double margin) {
  for (const double d : {w.step_x_mm, w.gap_begin_mm, w.gap_end_mm})
    if (std::abs(x - d) <= margin) return false;
  return true;
}

Summary summarize(const std::vector<ErrorSample>& s, const camsim::cell::WorkpieceParams* away) {
  Summary r;
  double sum2 = 0;
  for (const ErrorSample& e : s) {
    if (away && !away_from_discontinuities(*away, e.x_mm)) continue;
    sum2 += e.err_mm * e.err_mm;
    r.max = std::max(r.max, e.err_mm);
    ++r.n;
  }
  r.rms = r.n ? std::sqrt(sum2 / static_cast<double>(r.n)) : 0.0;
  return r;
}

StepFigures at_step(const std::vector<ErrorSample>& s, double step_x) {
  constexpr double kNear = 10, kSettled = 0.1;
  StepFigures f;
  for (const ErrorSample& e : s) {
    const double d = e.x_mm - step_x;
    if (std::abs(d) > kNear) continue;
    f.max_mm = std::max(f.max_mm, e.err_mm);
    if (e.err_mm > kSettled)
      (d < 0 ? f.before_mm : f.after_mm) = std::max(d < 0 ? f.before_mm : f.after_mm, std::abs(d));
  }
  return f;
}

bool write_svg(const std::string& path, const Errors& e, const camsim::cell::WorkpieceParams& w) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "w"), &std::fclose);
  if (!f) return false;
  constexpr double kW = 900, kH = 420, kLeft = 70, kRight = 150, kTop = 30, kBottom = 50;
  constexpr double kLogMin = -3, kLogMax = 1;  // 0.001 mm .. 10 mm
  double x_min = 1e9, x_max = -1e9;
  for (const auto* s : {&e.ours, &e.latest, &e.fixed})
    for (const ErrorSample& p : *s) {
      x_min = std::min(x_min, p.x_mm);
      x_max = std::max(x_max, p.x_mm);
    }
  if (x_min >= x_max) return false;
  const auto X = [&](double x) { return kLeft + (x - x_min) / (x_max - x_min) * (kW - kLeft - kRight); };
  const auto Y = [&](double err) {
    const double l = std::clamp(std::log10(std::max(err, 1e-3)), kLogMin, kLogMax);
    return kTop + (kLogMax - l) / (kLogMax - kLogMin) * (kH - kTop - kBottom);
  };
  std::FILE* o = f.get();
  std::fprintf(
      o,
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" font-family=\"sans-serif\" "
      "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
      kW, kH);
  for (int l = static_cast<int>(kLogMin); l <= static_cast<int>(kLogMax); ++l) {
    const double y = Y(std::pow(10.0, l));
    std::fprintf(o, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", kLeft, y,
                 kW - kRight, y);
    std::fprintf(o, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n", kLeft - 6, y + 4,
                 std::pow(10.0, l));
  }
  for (const double d : {w.step_x_mm, w.gap_begin_mm, w.gap_end_mm})
    if (d > x_min && d < x_max)
      std::fprintf(
          o, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#999\" stroke-dasharray=\"4 3\"/>\n",
          X(d), kTop, X(d), kH - kBottom);
  for (double x = std::ceil(x_min / 50) * 50; x <= x_max; x += 50)
    std::fprintf(o, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%.0f</text>\n", X(x), kH - kBottom + 16,
                 x);
  std::fprintf(
      o, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">torch position along the path, x_base (mm)</text>\n",
      (kLeft + kW - kRight) / 2, kH - 10);
  std::fprintf(o,
               "<text x=\"14\" y=\"%.1f\" transform=\"rotate(-90 14 %.1f)\" text-anchor=\"middle\">correction "
               "error (mm, log)</text>\n",
               (kTop + kH - kBottom) / 2, (kTop + kH - kBottom) / 2);
  const struct {
    const std::vector<ErrorSample>* s;
    const char* colour;
    const char* name;
  } series[] = {{&e.fixed, "#d62728", "fixed delay"},
                {&e.latest, "#ff7f0e", "latest pose"},
                {&e.ours, "#1f77b4", "tracker"}};
  int row = 0;
  for (const auto& s : series) {
    std::fprintf(o, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1\" points=\"", s.colour);
    for (const ErrorSample& p : *s.s) std::fprintf(o, "%.1f,%.1f ", X(p.x_mm), Y(p.err_mm));
    std::fprintf(o, "\"/>\n");
    const double ly = kTop + 10 + 18 * row++;
    std::fprintf(o, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"2\"/>\n",
                 kW - kRight + 10, ly, kW - kRight + 30, ly, s.colour);
    std::fprintf(o, "<text x=\"%.1f\" y=\"%.1f\">%s</text>\n", kW - kRight + 36, ly + 4, s.name);
  }
  std::fprintf(o, "<text x=\"%.1f\" y=\"%.1f\" fill=\"#666\">dashed: height step, gap ends</text>\n",
               kW - kRight + 10, kTop + 10 + 18 * row + 10);
  std::fprintf(o, "</svg>\n");
  return std::ferror(o) == 0;
}

}  // namespace celltrack
