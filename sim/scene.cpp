// The joint models and the profile measurement: true geometry first, then the
// camera's view of it (noise, reflections, occluded stretches), then the seam
// features a camera would extract, all from the same geometry.
#include "scene.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace camsim {
namespace {

// V-groove: 12 mm opening, 8 mm deep, 1.5 mm root gap over a backing bar.
constexpr double kVWidth = 12.0;
constexpr double kVDepth = 8.0;
constexpr double kVGap = 1.5;
constexpr double kVBacking = 1.0;  // the backing bar shows this far below the root
// Fillet: a wall rising at 45 degrees left of the root, clipped where it leaves the view.
constexpr double kFilletLeg = 6.0;
constexpr double kFilletTop = 25.0;
// Lap: an upper plate this thick overlaps the lower one left of the seam.
constexpr double kLapThickness = 3.0;
constexpr double kRefDistance = 5.0;      // reference points this far outside the joint
constexpr double kHiddenHalfWidth = 8.0;  // spatter/smoke hides this much around the seam

constexpr std::size_t kQuantiles = 4097;

// Quantiles of the standard normal distribution at (i + 0.5) / n, by bisection
// on the distribution function; built once, on first use.
const std::array<double, kQuantiles>& normal_quantiles() {
  static const std::array<double, kQuantiles> table = [] {
    std::array<double, kQuantiles> t{};
    for (std::size_t i = 0; i < kQuantiles; ++i) {
      const double p = (static_cast<double>(i) + 0.5) / kQuantiles;
      double lo = -10, hi = 10;
      for (int k = 0; k < 60; ++k) {
        const double mid = (lo + hi) / 2;
        (0.5 * std::erfc(-mid / std::numbers::sqrt2) < p ? lo : hi) = mid;
      }
      t[i] = (lo + hi) / 2;
    }
    return t;
  }();
  return table;
}

// Small, fast generator (splitmix64): profiles need millions of draws per second.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // A standard normal deviate from a quantile table: one draw instead of a
  // logarithm and two trigonometric calls, which 10,000 profiles a second need.
  // Interpolating between neighbouring quantiles keeps the values continuous.
  double fast_normal() {
    const std::uint64_t r = next();
    const auto& t = normal_quantiles();
    const std::size_t i = r % (kQuantiles - 1);
    const double frac = static_cast<double>(r >> 40) * 0x1.0p-24;
    return t[i] + (t[i + 1] - t[i]) * frac;
  }

  // Box-Muller, keeping the second value for the next call.
  double normal() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    double u = uniform();
    if (u < 1e-300) u = 1e-300;
    const double r = std::sqrt(-2.0 * std::log(u));
    const double phi = 2.0 * std::numbers::pi * uniform();
    spare_ = r * std::sin(phi);
    has_spare_ = true;
    return r * std::cos(phi);
  }

 private:
  std::uint64_t state_;
  double spare_ = 0;
  bool has_spare_ = false;
};

Point pt(double y, double z) { return Point{static_cast<float>(y), static_cast<float>(z), true}; }

Segment line(Point a, Point b) {
  const double len = std::hypot(double{b.y} - a.y, double{b.z} - a.z);
  return Segment{1, static_cast<float>(len), a, b, pt((a.y + b.y) / 2, (a.z + b.z) / 2)};
}

Segment gap(Point a, Point b, Point c) {
  return Segment{2, static_cast<float>(std::abs(double{b.y} - a.y)), a, b, c};
}

double degrees(double rad) { return rad * 180.0 / std::numbers::pi; }

// Fills the seam features of a visible joint; s and b are the seam position and
// surface height as measured (truth plus a little measurement noise).
void extract_features(const SceneConfig& config, Profile& p, double s, double b) {
  const double left = -config.fov_mm / 2;
  const double right = config.fov_mm / 2;
  auto& sp = p.seam_points;
  switch (config.joint) {
    case Joint::VGroove: {
      const double w = kVWidth / 2;
      const double g = kVGap / 2;
      sp[kRoot] = pt(s, b - kVDepth);
      sp[kLeftEdge] = pt(s - w, b);
      sp[kRightEdge] = pt(s + w, b);
      sp[kLeftInner] = pt(s - g, b - kVDepth);
      sp[kRightInner] = pt(s + g, b - kVDepth);
      sp[kTopCentre] = pt(s, b);
      sp[kLeftRef] = pt(s - w - kRefDistance, b);
      sp[kRightRef] = pt(s + w + kRefDistance, b);
      p.seam_width = static_cast<float>(kVWidth);
      p.seam_height = static_cast<float>(kVDepth);
      p.seam_angle = static_cast<std::int16_t>(std::lround(2 * degrees(std::atan((w - g) / kVDepth))));
      p.segments = {line(pt(left, b), sp[kLeftEdge]), line(sp[kLeftEdge], sp[kLeftInner]),
                    gap(sp[kLeftInner], sp[kRightInner], sp[kRoot]), line(sp[kRightInner], sp[kRightEdge]),
                    line(sp[kRightEdge], pt(right, b))};
      break;
    }
    case Joint::Fillet: {
      const double leg = kFilletLeg;
      sp[kRoot] = pt(s, b);
      sp[kLeftEdge] = pt(s - leg, b + leg);
      sp[kRightEdge] = pt(s + leg, b);
      sp[kLeftInner] = pt(s - leg / 2, b + leg / 2);
      sp[kRightInner] = pt(s + leg / 2, b);
      sp[kTopCentre] = pt(s, b + leg);
      sp[kLeftRef] = pt(s - leg - kRefDistance, b + leg + kRefDistance);
      sp[kRightRef] = pt(s + leg + kRefDistance, b);
      p.seam_width = static_cast<float>(2 * leg);
      p.seam_height = static_cast<float>(leg);
      p.seam_angle = 90;
      const double reach = std::min(kFilletTop, s - left);
      p.segments = {line(pt(s - reach, b + reach), sp[kRoot]), line(sp[kRoot], pt(right, b))};
      break;
    }
    case Joint::Lap: {
      const double t = kLapThickness;
      sp[kRoot] = pt(s, b);
      sp[kLeftEdge] = pt(s, b + t);
      sp[kRightEdge] = pt(s + t, b);
      sp[kLeftInner] = pt(s, b + t / 2);
      sp[kRightInner] = pt(s + t / 2, b);
      sp[kTopCentre] = pt(s, b + t);
      sp[kLeftRef] = pt(s - kRefDistance, b + t);
      sp[kRightRef] = pt(s + kRefDistance, b);
      p.seam_width = 0;
      p.seam_height = static_cast<float>(t);
      p.seam_angle = 90;
      p.segments = {line(pt(left, b + t), sp[kLeftEdge]), line(sp[kLeftEdge], sp[kRoot]),
                    line(sp[kRoot], pt(right, b))};
      break;
    }
  }
  p.seam_point_idx = kRoot;
}

}  // namespace

std::optional<Joint> parse_joint(std::string_view name) {
  if (name == "vgroove" || name == "v-groove" || name == "v") return Joint::VGroove;
  if (name == "fillet") return Joint::Fillet;
  if (name == "lap") return Joint::Lap;
  return std::nullopt;
}

std::string_view joint_name(Joint joint) {
  switch (joint) {
    case Joint::VGroove:
      return "vgroove";
    case Joint::Fillet:
      return "fillet";
    case Joint::Lap:
      return "lap";
  }
  return "vgroove";
}

double weave_position(const SceneConfig& config, double t) {
  if (config.weave_period_s <= 0) return 0;
  // A slow drift under the weave, as when the joint is not quite parallel to the travel.
  const double drift = 0.25 * config.weave_amplitude_mm * std::sin(2 * std::numbers::pi * t / 17.0);
  return config.weave_amplitude_mm * std::sin(2 * std::numbers::pi * t / config.weave_period_s) + drift;
}

double surface_drift(const SceneConfig&, double t) { return 0.8 * std::sin(2 * std::numbers::pi * t / 11.0); }

bool seam_visible(const SceneConfig& config, double t) {
  if (config.lost_every_s <= 0 || config.lost_for_s <= 0) return true;
  const double phase = std::fmod(t, config.lost_every_s);
  // The hidden stretch sits at the end of each period so that a run starts with a seam.
  return phase < config.lost_every_s - config.lost_for_s;
}

std::optional<double> joint_height(Joint joint, double y, double seam_y, double base_z) {
  const double d = y - seam_y;
  switch (joint) {
    case Joint::VGroove: {
      const double w = kVWidth / 2;
      const double g = kVGap / 2;
      const double ad = std::abs(d);
      if (ad >= w) return base_z;
      if (ad >= g) return base_z - kVDepth * (w - ad) / (w - g);
      return base_z - kVDepth - kVBacking;
    }
    case Joint::Fillet:
      if (d >= 0) return base_z;
      if (-d > kFilletTop) return std::nullopt;  // the wall leaves the field of view
      return base_z - d;
    case Joint::Lap:
      return d < 0 ? base_z + kLapThickness : base_z;
  }
  return base_z;
}

Profile generate_profile(const SceneConfig& config, std::uint64_t frame, double t) {
  Profile p;
  p.frame = frame;
  p.seam_path_y = weave_position(config, t);
  p.surface_z = surface_drift(config, t);
  const bool visible = seam_visible(config, t);
  Rng rng(config.seed * 0x2545F4914F6CDD1Dull ^ frame);

  const std::uint32_t n = config.point_count;
  p.points.resize(n);
  const double left = -config.fov_mm / 2;
  const double step = n > 1 ? config.fov_mm / (n - 1) : 0.0;
  const auto outlier_threshold = static_cast<std::uint64_t>(std::clamp(config.outlier_ratio, 0.0, 1.0) * 0x1.0p53);
  for (std::uint32_t i = 0; i < n; ++i) {
    const double y = left + step * i;
    Point& out = p.points[i];
    if (!visible && std::abs(y - p.seam_path_y) < kHiddenHalfWidth) continue;
    const auto h = joint_height(config.joint, y, p.seam_path_y, p.surface_z);
    if (!h) continue;
    double z = *h + config.noise_mm * rng.fast_normal();
    const std::uint64_t r = rng.next();
    if ((r >> 11) < outlier_threshold) z += 0.5 + 2.0 * static_cast<double>(r & 0xFFFF) / 65536.0;  // a reflection
    out = pt(y, z);
  }

  p.seam_found = visible;
  if (visible) {
    // The extracted features scatter a little around the truth, as a fit over noisy points does.
    const double spread = config.noise_mm / 3;
    extract_features(config, p, p.seam_path_y + spread * rng.normal(), p.surface_z + spread * rng.normal());
  }
  return p;
}

}  // namespace camsim
