// Poses, their interpolation and the pose buffer, with answers worked by hand.
#include <cmath>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "track/pose.hpp"
#include "track/pose_buffer.hpp"

namespace mok::track {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr std::int64_t kMs = 1'000'000;

Pose turned_about_z(double angle, Eigen::Vector3d p = Eigen::Vector3d::Zero()) {
  return {p, Eigen::Quaterniond(Eigen::AngleAxisd(angle, Eigen::Vector3d::UnitZ()))};
}

TEST(Pose, ChainsFramesAndMapsPointsInMonogramOrder) {
  // The tool 100 mm along base x, turned 90 degrees about z; the sensor 10 mm
  // along the tool's x. The sensor's origin sits at (100, 10, 0) in base.
  const Pose X_base_tool = turned_about_z(kPi / 2, {100, 0, 0});
  const Pose X_tool_sensor{{10, 0, 0}, Eigen::Quaterniond::Identity()};
  const Eigen::Vector3d p_base = (X_base_tool * X_tool_sensor).apply({0, 2, 3});
  EXPECT_TRUE(p_base.isApprox(Eigen::Vector3d(98, 10, 3), 1e-12));
  const Eigen::Vector3d back = (X_base_tool * X_tool_sensor).inverse().apply(p_base);
  EXPECT_TRUE(back.isApprox(Eigen::Vector3d(0, 2, 3), 1e-12));
}

TEST(Pose, InterpolatesPositionLinearlyAndRotationBySlerp) {
  const Pose a = turned_about_z(0, {0, 0, 0});
  const Pose b = turned_about_z(kPi / 2, {10, 20, 0});
  const Pose quarter = interpolate(a, b, 0.25);
  EXPECT_TRUE(quarter.p.isApprox(Eigen::Vector3d(2.5, 5, 0)));
  EXPECT_NEAR(Eigen::AngleAxisd(quarter.q).angle(), kPi / 8, 1e-12);
  // Slerp takes the shorter way even when the quaternions' signs differ.
  Pose flipped = b;
  flipped.q.coeffs() *= -1;
  EXPECT_NEAR(interpolate(a, flipped, 0.5).q.angularDistance(turned_about_z(kPi / 4).q), 0, 1e-12);
}

TEST(Pose, RefusesNonFiniteAndNonUnitNormalisesNearUnit) {
  EXPECT_FALSE(checked_pose(mok_pose_t{NAN, 0, 0, 1, 0, 0, 0}));
  EXPECT_FALSE(checked_pose(mok_pose_t{0, 0, 0, 1.1, 0, 0, 0}));
  EXPECT_FALSE(checked_pose(mok_pose_t{0, 0, 0, 0, 0, 0, 0}));
  const auto near = checked_pose(mok_pose_t{1, 2, 3, 1.0005, 0, 0, 0});
  ASSERT_TRUE(near);
  EXPECT_DOUBLE_EQ(near->q.norm(), 1.0);
}

class PoseBufferTest : public ::testing::Test {
 protected:
  PoseBuffer buffer{{.capacity = 100, .max_age_ns = 1000 * kMs, .extrapolation_limit_ns = 5 * kMs}};
  // The tool along base x at 1 mm per ms, turning 1 degree per ms about z.
  static Pose at_ms(int ms) { return turned_about_z(ms * kPi / 180, {double(ms), 0, 0}); }
  Insert put(int ms) { return buffer.insert(ms * kMs, at_ms(ms)); }
};

TEST_F(PoseBufferTest, InterpolatesInsideAndExtrapolatesOnlyUpToTheLimit) {
  EXPECT_EQ(buffer.at(0).status, Lookup::NoPose);
  for (int ms : {0, 10, 20}) ASSERT_EQ(put(ms), Insert::Ok);
  const PoseAt mid = buffer.at(15 * kMs);
  ASSERT_EQ(mid.status, Lookup::Ok);
  EXPECT_TRUE(mid.pose.X_base_tool.p.isApprox(Eigen::Vector3d(15, 0, 0)));
  EXPECT_NEAR(mid.pose.X_base_tool.q.angularDistance(at_ms(15).q), 0, 1e-12);
  EXPECT_DOUBLE_EQ(mid.pose.s, 15.0);
  const PoseAt ahead = buffer.at(24 * kMs);
  ASSERT_EQ(ahead.status, Lookup::Ok);
  EXPECT_NEAR(ahead.pose.X_base_tool.p.x(), 24.0, 1e-9);
  EXPECT_EQ(buffer.at(26 * kMs).status, Lookup::Waiting);
  EXPECT_EQ(buffer.at(-1 * kMs).status, Lookup::Stale);
}

TEST_F(PoseBufferTest, TakesPosesOutOfOrderAndRefusesDuplicatesAndTheFarPast) {
  for (int ms : {0, 20, 10, 30}) ASSERT_EQ(put(ms), Insert::Ok);
  EXPECT_DOUBLE_EQ(buffer.newest().s, 30.0);  // the path through the late pose, in time order
  EXPECT_EQ(put(20), Insert::Duplicate);
  ASSERT_EQ(put(1200), Insert::Ok);
  EXPECT_EQ(put(100), Insert::Past);
  EXPECT_EQ(buffer.size(), 1u);  // everything older than a second went
}

TEST_F(PoseBufferTest, TravelDirectionComesFromThePathAndFallsBackBeforeItMoved) {
  const Eigen::Vector3d fallback = Eigen::Vector3d::UnitZ();
  put(0);
  EXPECT_EQ(buffer.direction(0, 2, fallback), fallback);
  put(10);
  EXPECT_TRUE(buffer.direction(10, 2, fallback).isApprox(Eigen::Vector3d::UnitX()));
  // Standing still keeps the direction it last travelled in.
  buffer.insert(20 * kMs, at_ms(10));
  EXPECT_TRUE(buffer.direction(buffer.newest().s, 2, fallback).isApprox(Eigen::Vector3d::UnitX()));
}

TEST_F(PoseBufferTest, StandingStillWithJitteringPositionsAddsNoDistance) {
  put(0);
  put(10);
  std::mt19937 rng(3);
  std::normal_distribution<double> wobble(0, 0.01);
  for (int ms = 11; ms < 500; ++ms) {
    buffer.insert(ms * kMs, Pose{{10 + wobble(rng), wobble(rng), wobble(rng)}, at_ms(10).q});
  }
  EXPECT_NEAR(buffer.newest().s, 10.0, 0.05);
}

}  // namespace
}  // namespace mok::track
