// The simulated weld joint: the geometry the laser line falls on, how the seam
// weaves under the sensor and when it is hidden, and the measured profile the
// camera derives from it. Pure functions of (configuration, frame, time), so
// tests and the image renderer see exactly what the scan stream reports.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace camsim {

enum class Joint : std::uint8_t { VGroove = 0, Fillet = 1, Lap = 2 };

std::optional<Joint> parse_joint(std::string_view name);
std::string_view joint_name(Joint joint);

struct SceneConfig {
  Joint joint = Joint::VGroove;
  std::uint32_t point_count = 1280;  // profile points across the field of view (at most 4096)
  double fov_mm = 80.0;              // width covered by the laser line, centred on y = 0
  double noise_mm = 0.03;            // standard deviation of the depth noise
  double outlier_ratio = 0.002;      // share of points hit by reflections
  double weave_amplitude_mm = 3.0;   // lateral amplitude of the weaving seam
  double weave_period_s = 2.0;
  double lost_every_s = 7.0;  // a stretch where the seam is hidden starts this often; 0: never
  double lost_for_s = 0.8;    // and lasts this long
  std::uint64_t seed = 1;
};

// One measured point in millimetres; invalid points carry no return.
struct Point {
  float y = 0;
  float z = 0;
  bool valid = false;
};

// A straight (type 1) or gap (type 2) piece of the profile as the camera fits it.
struct Segment {
  std::int32_t type = 0;
  float value = 0;  // length for lines, gap width for gaps
  Point a, b, c;    // start, end, middle
};

// The eight seam points: where the joint's features lie on this profile.
enum SeamPointIndex : std::uint16_t {
  kRoot = 0,       // the point a torch would follow
  kLeftEdge = 1,   // where the joint meets the left surface
  kRightEdge = 2,  // and the right one
  kLeftInner = 3,  // inner corners (root gap edges, or the midpoints of the flanks)
  kRightInner = 4,
  kTopCentre = 5,  // above the root at surface height
  kLeftRef = 6,    // reference points on the surfaces beside the joint
  kRightRef = 7,
};

struct Profile {
  std::uint64_t frame = 0;
  double seam_path_y = 0;  // where the weaving path puts the seam (ground truth)
  double surface_z = 0;    // surface height drift at this moment (ground truth)
  std::vector<Point> points;
  bool seam_found = false;
  std::array<Point, 8> seam_points{};
  std::uint16_t seam_point_idx = kRoot;
  float seam_width = 0;
  float seam_height = 0;
  std::int16_t seam_angle = 0;    // included angle of the joint, degrees
  std::vector<Segment> segments;  // at most 32
};

// Lateral seam position along the weaving path at time t (seconds).
double weave_position(const SceneConfig& config, double t);
// Slow height drift of the work piece (a tilted or warped plate).
double surface_drift(const SceneConfig& config, double t);
// Whether the seam is visible at time t (false inside a hidden stretch).
bool seam_visible(const SceneConfig& config, double t);

// The profile of frame `frame` taken at time t. Noise is drawn from a generator
// seeded by (config.seed, frame), so the same arguments give the same profile.
Profile generate_profile(const SceneConfig& config, std::uint64_t frame, double t);

// Height of the noiseless joint surface at y, for a seam at seam_y on a surface
// at height base_z; nullopt where the laser cannot see the surface.
std::optional<double> joint_height(Joint joint, double y, double seam_y, double base_z);

}  // namespace camsim
