// The plate's geometry and the two questions the line sensor asks of it:
// where a laser ray meets the surface, and where the seam crosses the laser
// plane.
#include "workpiece.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace camsim::cell {
namespace {

constexpr double kTableStepMm = 0.01;  // linear interpolation errs by < 1e-7 mm at this step

}  // namespace

Workpiece::Workpiece(const WorkpieceParams& params) : p_(params) {
  const auto n = static_cast<std::size_t>(std::max(0.0, (p_.x_end_mm - p_.x_begin_mm) / kTableStepMm)) + 2;
  lateral_table_.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    lateral_table_[i] = lateral_exact(p_.x_begin_mm + kTableStepMm * static_cast<double>(i));
}

double Workpiece::top(double x) const {
  return p_.top_z_mm + p_.slope * x + (x >= p_.step_x_mm ? p_.step_mm : 0.0);
}

double Workpiece::lateral(double x) const {
  const double f = (x - p_.x_begin_mm) / kTableStepMm;
  if (f < 0 || f >= static_cast<double>(lateral_table_.size() - 1)) return lateral_exact(x);
  const auto i = static_cast<std::size_t>(f);
  return lateral_table_[i] + (f - static_cast<double>(i)) * (lateral_table_[i + 1] - lateral_table_[i]);
}

double Workpiece::lateral_exact(double x) const {
  if (p_.lateral_wavelength_mm <= 0) return 0;
  // Two harmonics, so the deviation is not one the tracker could guess.
  const double w = 2 * std::numbers::pi * x / p_.lateral_wavelength_mm;
  return p_.lateral_amplitude_mm * (0.8 * std::sin(w) + 0.2 * std::sin(2.7 * w + 0.5));
}

Eigen::Vector3d Workpiece::seam_at(double x) const { return {x, lateral(x), top(x) - p_.groove_depth_mm}; }

bool Workpiece::seam_present(double x) const {
  return x >= p_.x_begin_mm && x < p_.x_end_mm && !(x >= p_.gap_begin_mm && x < p_.gap_end_mm);
}

double Workpiece::groove_angle_deg() const {
  const double run = (p_.groove_width_mm - p_.root_gap_mm) / 2;
  return 2 * std::atan(run / p_.groove_depth_mm) * 180 / std::numbers::pi;
}

std::optional<double> Workpiece::height(double x, double y) const {
  if (x < p_.x_begin_mm || x >= p_.x_end_mm) return std::nullopt;
  const double z = top(x);
  if (!seam_present(x)) return z;
  const double d = std::abs(y - lateral(x));
  const double w = p_.groove_width_mm / 2;
  const double g = p_.root_gap_mm / 2;
  if (d >= w) return z;
  if (d >= g) return z - p_.groove_depth_mm * (w - d) / (w - g);
  return z - p_.groove_depth_mm - p_.backing_mm;
}

std::optional<double> Workpiece::intersect(const Eigen::Vector3d& o, const Eigen::Vector3d& dir) const {
  // The plate is a height field and the sensor looks down at it, so a Newton
  // step that treats the surface as locally flat converges in a few steps
  // (the groove's flanks times the ray's small tilt give the contraction).
  if (dir.z() > -0.2) return std::nullopt;
  const auto above = [&](double d) -> std::optional<double> {
    const Eigen::Vector3d p = o + d * dir;
    const auto h = height(p.x(), p.y());
    if (!h) return std::nullopt;
    return p.z() - *h;
  };
  double d = 0;
  for (int i = 0; i < 16; ++i) {
    const auto g = above(d);
    if (!g) return std::nullopt;
    const double step = *g / -dir.z();
    d += step;
    if (std::abs(step) < 1e-5) return d < 0 ? std::nullopt : std::optional<double>(d);
  }
  // Newton cycles only where the ray meets a vertical face (the step, the
  // backing bar's edge): bisect between above and below the surface there.
  double lo = 0, hi = d + 10;
  if (!above(hi) || *above(hi) > 0) return std::nullopt;
  for (int i = 0; i < 60; ++i) {
    const double mid = (lo + hi) / 2;
    const auto g = above(mid);
    if (!g) return std::nullopt;
    (*g > 0 ? lo : hi) = mid;
  }
  return hi;
}

std::optional<Eigen::Vector3d> Workpiece::seam_crossing(const Eigen::Vector3d& o, const Eigen::Vector3d& n,
                                                        double search_mm) const {
  const auto f = [&](double x) { return n.dot(seam_at(x) - o); };
  // Scan outwards from the plane's own x for the nearest sign change, then bisect.
  constexpr double kStep = 0.5;
  double lo = 0, hi = 0;
  bool bracketed = false;
  for (double r = 0; r <= search_mm && !bracketed; r += kStep) {
    for (const double a : {o.x() + r, o.x() - r - kStep}) {
      if (std::signbit(f(a)) != std::signbit(f(a + kStep))) {
        lo = a;
        hi = a + kStep;
        bracketed = true;
        break;
      }
    }
  }
  if (!bracketed) return std::nullopt;
  const bool lo_negative = std::signbit(f(lo));
  for (int i = 0; i < 50; ++i) {
    const double mid = (lo + hi) / 2;
    (std::signbit(f(mid)) == lo_negative ? lo : hi) = mid;
  }
  const double x = (lo + hi) / 2;
  if (!seam_present(x)) return std::nullopt;
  return seam_at(x);
}

}  // namespace camsim::cell
