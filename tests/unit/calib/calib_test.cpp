// The sphere and plane calibrations against simulated cells: exact data
// gives the mounting back, poor pose sets and bad views are caught, and the
// mounting file keeps what was written.
#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "mok/mok_track.h"
#include "mok_calib/mount_file.hpp"
#include "scenario.hpp"

namespace mok::calib {
namespace {

struct Case {
  scenario::Cell cell = scenario::make_cell(3);
  PlanOptions plan = scenario::plan_for(cell, 12, 3);
  SolveOptions options;

  explicit Case(double profile_sigma_mm) {
    cell.profile_sigma_mm = profile_sigma_mm;
    cell.fov.columns = 160;  // a coarse camera keeps the debug build's solves short
    options.initial_X_tool_sensor = cell.X_tool_sensor_drawing;
  }
  std::vector<View> views() const {
    std::mt19937_64 rng(3);
    return scenario::sphere_views(cell, propose_sphere_poses(plan), rng);
  }
  Solution solve(const std::vector<View>& v) const { return solve_sphere(v, cell.radius_mm, options); }
};

TEST(SphereCalibration, ExactDataGivesTheMountingBack) {
  Case c(0.0);
  const Solution s = c.solve(c.views());
  ASSERT_EQ(s.status, Status::kOk) << s.reason;
  const PoseError e = pose_error(c.cell.X_tool_sensor_true, s.X_tool_sensor);
  EXPECT_LT(e.translation_mm, 1e-6);
  EXPECT_LT(e.rotation_deg, 1e-6);
  EXPECT_LT((s.centre_base - c.cell.centre_base).norm(), 1e-6);
  EXPECT_LT(s.residual_rms_mm, 1e-6);

  // Without a drawing: from the sensor taken at the tool's centre, turned a
  // quarter turn from the truth (a start that fits poorly), the other
  // orientations are searched.
  c.options.initial_X_tool_sensor = Pose::Identity();
  c.options.initial_X_tool_sensor.linear() =
      c.cell.X_tool_sensor_true.linear() *
      Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitY()).toRotationMatrix();
  c.options.search_start = true;
  const Solution found = c.solve(c.views());
  ASSERT_EQ(found.status, Status::kOk) << found.reason;
  EXPECT_LT(pose_error(c.cell.X_tool_sensor_true, found.X_tool_sensor).translation_mm, 1e-6);
}

TEST(SphereCalibration, NoisyDataStaysWithinItsReportedSigmas) {
  Case c(0.05);
  c.options.target_sigma_mm = 0.001;  // out of reach: the result says what would reach it
  const Solution s = c.solve(c.views());
  ASSERT_EQ(s.status, Status::kOk) << s.reason;
  const auto e = scenario::local_error(c.cell.X_tool_sensor_true, s.X_tool_sensor);
  for (int k = 0; k < 3; ++k) {
    EXPECT_LT(std::abs(e(k)) * kRadToDeg, 5 * s.sigma_rotation_deg(k) + 1e-3) << k;
    EXPECT_LT(std::abs(e(3 + k)), 5 * s.sigma_translation_mm(k) + 1e-3) << k;
  }
  EXPECT_NEAR(s.noise_sigma_mm, 0.04, 0.02);
  EXPECT_GT(s.more_poses_needed, 12u);
  EXPECT_FALSE(s.advice.empty());

  // Spatter lies on the sensor's side of the surface: one-sided, it must
  // not pull the solution away from the clean one.
  auto spattered = c.views();
  for (auto& v : spattered)
    for (std::size_t k = 0; k < v.points_yz.size(); k += 10) v.points_yz[k].y() -= 2.0;
  const Solution sp = c.solve(spattered);
  ASSERT_EQ(sp.status, Status::kOk) << sp.reason;
  const auto d = scenario::local_error(s.X_tool_sensor, sp.X_tool_sensor);
  for (int k = 0; k < 3; ++k) {
    EXPECT_LT(std::abs(d(k)) * kRadToDeg, s.sigma_rotation_deg(k)) << k;
    EXPECT_LT(std::abs(d(3 + k)), s.sigma_translation_mm(k)) << k;
  }
}

TEST(SphereCalibration, RefusesPoseSetsThatLeaveADirectionOpen) {
  Case shifts(0.05);
  shifts.plan.max_tilt_deg = shifts.plan.max_roll_deg = 0;
  Solution s = shifts.solve(shifts.views());
  EXPECT_EQ(s.status, Status::kUnconstrained);
  EXPECT_NE(s.reason.find("translation"), std::string::npos) << s.reason;

  Case rolls(0.05);
  rolls.plan.max_tilt_deg = 0;
  rolls.plan.max_lateral_mm = rolls.plan.max_depth_mm = 0;
  EXPECT_EQ(rolls.solve(rolls.views()).status, Status::kUnconstrained);

  Case misses(0.05);
  auto views = misses.views();
  for (std::size_t i = 3; i < views.size(); ++i) views[i].points_yz.resize(5);
  s = misses.solve(views);
  EXPECT_EQ(s.status, Status::kTooFewViews);
  EXPECT_EQ(s.views_used, 3u);

  // Every pose paired with the next pose's profiles (the robot moved while
  // they were taken): no mounting fits, whatever the solver settles on.
  Case shuffled(0.05);
  views = shuffled.views();
  const auto taken = views;
  for (std::size_t i = 0; i < views.size(); ++i) views[i].points_yz = taken[(i + 1) % taken.size()].points_yz;
  s = shuffled.solve(views);
  EXPECT_EQ(s.status, Status::kPoorFit) << s.reason << " " << s.noise_sigma_mm;
}

TEST(SphereCalibration, AViewWithAnotherPosesPointsHasTheWorstResidual) {
  Case c(0.05);
  auto views = c.views();
  views[5].points_yz = views[8].points_yz;  // the pose's time stamp matched the wrong profiles
  const Solution s = c.solve(views);
  const auto worst = std::max_element(s.view_rms_mm.begin(), s.view_rms_mm.end()) - s.view_rms_mm.begin();
  EXPECT_EQ(worst, 5);
  EXPECT_GT(s.view_rms_mm[5], 10 * s.noise_sigma_mm);
}

TEST(PlaneCalibration, SeveralPlanesAgreeWithTheTruth) {
  Case c(0.0);
  std::mt19937_64 rng(3);
  std::vector<std::vector<View>> by_plane;
  for (const Eigen::Vector3d& n : {Eigen::Vector3d(0, 0, 1), Eigen::Vector3d(-1, 0, 1).normalized(),
                                   Eigen::Vector3d(0, -1, 1).normalized()}) {
    c.plan.look_base = -n;
    c.plan.poses = 8;
    by_plane.push_back(
        scenario::plane_views(c.cell, propose_sphere_poses(c.plan), n, n.dot(c.cell.centre_base), rng));
  }
  c.options.min_views = 5;
  const Solution s = solve_planes(by_plane, c.options);
  ASSERT_EQ(s.status, Status::kOk) << s.reason;
  const PoseError e = pose_error(c.cell.X_tool_sensor_true, s.X_tool_sensor);
  EXPECT_LT(e.translation_mm, 1e-4);
  EXPECT_LT(e.rotation_deg, 1e-4);

  by_plane[1].resize(4);  // a plate seen from too few poses
  EXPECT_EQ(solve_planes(by_plane, c.options).status, Status::kTooFewViews);
}

TEST(MountFile, RoundTripsAndRefusesWhatTheTrackerWould) {
  Case c(0.05);
  const Solution s = c.solve(c.views());
  const MountFile back = parse_mount(mount_json(s.X_tool_sensor, &s, "sphere"));
  ASSERT_TRUE(back.ok) << back.error;
  EXPECT_LT(pose_error(s.X_tool_sensor, back.X_tool_sensor).translation_mm, 1e-9);
  EXPECT_LT(pose_error(s.X_tool_sensor, back.X_tool_sensor).rotation_deg, 1e-9);
  EXPECT_TRUE(back.sigma_translation_mm.isApprox(s.sigma_translation_mm));
  EXPECT_DOUBLE_EQ(back.residual_rms_mm, s.residual_rms_mm);
  EXPECT_EQ(back.method, "sphere");

  // The tracker reads what calibration writes.
  const std::string text = mount_json(s.X_tool_sensor, &s, "sphere");
  mok_pose_t pose{};
  char err[256] = "";
  ASSERT_EQ(mok_track_mount_parse(text.data(), text.size(), &pose, err, sizeof err), 0) << err;
  EXPECT_NEAR(pose.x_mm, s.X_tool_sensor.translation().x(), 1e-9);
  EXPECT_NEAR(std::abs(pose.qw), std::abs(quaternion_wxyz(s.X_tool_sensor)(0)), 1e-9);

  const std::string head = R"({"format": "mok-mount/1", "X_tool_sensor": {"translation_mm": [1, 2, 3], )";
  EXPECT_TRUE(parse_mount(head + R"("quaternion_wxyz": [1.0005, 0, 0, 0]}})").ok);  // normalised
  EXPECT_FALSE(parse_mount(head + R"("quaternion_wxyz": [1.1, 0, 0, 0]}})").ok);
  EXPECT_FALSE(parse_mount(head + "}}").ok);
  EXPECT_FALSE(parse_mount("{").ok);
}

}  // namespace
}  // namespace mok::calib
