// The joint model: the seam the camera reports must follow the weaving path,
// the hidden stretches must hide it, and the profile must show the joint.
#include "sim/scene.hpp"

#include <cmath>

#include <gtest/gtest.h>

namespace camsim {
namespace {

// Height of the measured profile near y (mean of valid points within 0.2 mm).
double profile_height_near(const Profile& p, double y) {
  double sum = 0;
  int n = 0;
  for (const Point& pt : p.points)
    if (pt.valid && std::abs(pt.y - y) < 0.2) {
      sum += pt.z;
      ++n;
    }
  return n ? sum / n : NAN;
}

TEST(Scene, SeamFollowsWeavingPathWithinNoise) {
  SceneConfig c;
  c.lost_every_s = 0;
  c.outlier_ratio = 0;
  double min_y = 1e9, max_y = -1e9;
  for (int f = 0; f < 400; ++f) {
    const double t = f * 0.01;
    const Profile p = generate_profile(c, f, t);
    ASSERT_TRUE(p.seam_found) << "frame " << f;
    const Point root = p.seam_points[p.seam_point_idx];
    EXPECT_NEAR(root.y, weave_position(c, t), 0.1) << "frame " << f;
    EXPECT_NEAR(root.z, surface_drift(c, t) - 8.0, 0.1) << "frame " << f;  // V-groove depth
    min_y = std::min<double>(min_y, root.y);
    max_y = std::max<double>(max_y, root.y);
  }
  // Two weave periods: the seam really moves across, not just jitters.
  EXPECT_GT(max_y - min_y, 1.5 * c.weave_amplitude_mm);
}

TEST(Scene, HiddenStretchesReportNoSeamAndHideThePointsAroundIt) {
  SceneConfig c;
  c.lost_every_s = 2.0;
  c.lost_for_s = 0.5;
  EXPECT_TRUE(seam_visible(c, 0.0));
  EXPECT_TRUE(seam_visible(c, 1.49));
  EXPECT_FALSE(seam_visible(c, 1.6));
  EXPECT_TRUE(seam_visible(c, 2.1));

  const Profile hidden = generate_profile(c, 7, 1.7);
  EXPECT_FALSE(hidden.seam_found);
  EXPECT_TRUE(hidden.segments.empty());
  for (const Point& sp : hidden.seam_points) EXPECT_FALSE(sp.valid);
  int valid_near_seam = 0;
  for (const Point& pt : hidden.points)
    if (pt.valid && std::abs(pt.y - hidden.seam_path_y) < 5) ++valid_near_seam;
  EXPECT_EQ(valid_near_seam, 0);
  EXPECT_TRUE(std::isnan(profile_height_near(hidden, hidden.seam_path_y)));
  // Away from the seam the plate is still measured.
  EXPECT_FALSE(std::isnan(profile_height_near(hidden, hidden.seam_path_y + 20)));
}

TEST(Scene, ProfileShowsEachJointAroundTheSeam) {
  for (Joint j : {Joint::VGroove, Joint::Fillet, Joint::Lap}) {
    SCOPED_TRACE(std::string(joint_name(j)));
    SceneConfig c;
    c.joint = j;
    c.lost_every_s = 0;
    c.outlier_ratio = 0;
    c.noise_mm = 0.01;
    const Profile p = generate_profile(c, 3, 0.3);
    const double s = p.seam_path_y;
    const double b = p.surface_z;
    ASSERT_EQ(p.points.size(), c.point_count);
    EXPECT_NEAR(profile_height_near(p, s + 15), b, 0.05);  // right plate
    switch (j) {
      case Joint::VGroove:
        EXPECT_NEAR(profile_height_near(p, s - 15), b, 0.05);
        EXPECT_NEAR(profile_height_near(p, s - 3.4), b - 4.0, 0.3);  // half way down the flank
        EXPECT_EQ(p.seam_angle, 67);
        EXPECT_EQ(p.segments.size(), 5u);
        break;
      case Joint::Fillet:
        EXPECT_NEAR(profile_height_near(p, s - 10), b + 10, 0.1);  // 45 degree wall
        EXPECT_EQ(p.seam_angle, 90);
        break;
      case Joint::Lap:
        EXPECT_NEAR(profile_height_near(p, s - 10), b + 3, 0.05);  // upper plate
        EXPECT_FLOAT_EQ(p.seam_height, 3.0f);
        break;
    }
    // Segments join up: each one starts where the previous ended.
    for (std::size_t k = 1; k < p.segments.size(); ++k) {
      EXPECT_FLOAT_EQ(p.segments[k].a.y, p.segments[k - 1].b.y);
      EXPECT_FLOAT_EQ(p.segments[k].a.z, p.segments[k - 1].b.z);
    }
  }
}

TEST(Scene, SameFrameGivesSameProfileAndNoiseHasTheConfiguredSpread) {
  SceneConfig c;
  c.outlier_ratio = 0;
  c.lost_every_s = 0;
  c.noise_mm = 0.05;
  const Profile a = generate_profile(c, 42, 0.21);
  const Profile b = generate_profile(c, 42, 0.21);
  const Profile other = generate_profile(c, 43, 0.21);
  ASSERT_EQ(a.points.size(), b.points.size());
  bool differs = false;
  double sq = 0;
  int n = 0;
  for (std::size_t i = 0; i < a.points.size(); ++i) {
    EXPECT_EQ(a.points[i].z, b.points[i].z);
    differs |= a.points[i].z != other.points[i].z;
    // Plate points far from the seam: deviation from the true surface is pure noise.
    if (std::abs(a.points[i].y - a.seam_path_y) > 12) {
      const double d = a.points[i].z - a.surface_z;
      sq += d * d;
      ++n;
    }
  }
  EXPECT_TRUE(differs) << "another frame must draw other noise";
  ASSERT_GT(n, 500);
  EXPECT_NEAR(std::sqrt(sq / n), c.noise_mm, 0.01);
}

TEST(Scene, JointNamesRoundTrip) {
  for (Joint j : {Joint::VGroove, Joint::Fillet, Joint::Lap}) EXPECT_EQ(parse_joint(joint_name(j)), j);
  EXPECT_FALSE(parse_joint("butt").has_value());
}

}  // namespace
}  // namespace camsim
