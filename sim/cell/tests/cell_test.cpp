// The cell's geometry against known answers: where rays and the laser plane
// meet the workpiece, that a reported seam maps back onto the true seam
// through the conventions' point mapping, the speed profile, and the pose
// stream's bytes and timing.
#include "sim/cell/cell.hpp"

#include <cmath>

#include <gtest/gtest.h>

#include "sim/cell/pose_stream.hpp"

namespace camsim::cell {
namespace {

Scenario noiseless() {
  Scenario s = short_scenario();
  s.camera.noise_mm = 0;
  s.camera.spatter = 0;
  s.camera.seam_noise_mm = 0;
  return s;
}

TEST(Workpiece, RaysAndPlanesMeetTheGrooveWhereItIs) {
  const Workpiece w(WorkpieceParams{});
  const WorkpieceParams& p = w.params();
  const Eigen::Vector3d root = w.seam_at(100);
  // Straight down onto the flank, halfway between root gap and edge: half the depth.
  const double y = root.y() + (p.groove_width_mm + p.root_gap_mm) / 4;
  const auto d = w.intersect({100, y, 50}, {0, 0, -1});
  ASSERT_TRUE(d);
  EXPECT_NEAR(50 - *d, root.z() + p.groove_depth_mm / 2, 1e-9);
  // A tilted plane through the root finds the root; the gap and the plate's ends have none.
  const Eigen::Vector3d n = Eigen::Vector3d(1, 0.1, 0.2).normalized();
  const auto c = w.seam_crossing(root + Eigen::Vector3d(0, 0, 100).cross(n), n, 40);
  ASSERT_TRUE(c);
  EXPECT_NEAR(n.dot(*c - root), n.dot(Eigen::Vector3d(0, 0, 100).cross(n)), 1e-9);
  EXPECT_FALSE(w.seam_present((p.gap_begin_mm + p.gap_end_mm) / 2));
  EXPECT_FALSE(w.seam_crossing({(p.gap_begin_mm + p.gap_end_mm) / 2, 0, 50}, {1, 0, 0}, 5));
  EXPECT_FALSE(w.intersect({p.x_end_mm + 1, 0, 50}, {0, 0, -1}));
  // The step raises the seam.
  EXPECT_NEAR(w.seam_at(p.step_x_mm + 0.01).z() - w.seam_at(p.step_x_mm - 0.01).z(), p.step_mm, 1e-3);
}

TEST(Cell, ProfilesMapBackOntoTheWorkpieceThroughTheMounting) {
  const Cell cell(noiseless());
  EXPECT_NEAR(cell.scenario().look_ahead_mm(), 40, 0.5);
  int seams = 0, points = 0, on_faces = 0;
  for (double t = 0.3; t < 1.6; t += 0.1) {
    const CellProfile p = cell.scan(1, t);
    const Eigen::Isometry3d X_base_sensor = cell.motion().at(t).X_base_tool * cell.X_tool_sensor();
    for (const ProfilePoint& q : p.points) {
      if (!q.valid) continue;
      const Eigen::Vector3d p_base = X_base_sensor * Eigen::Vector3d(0, q.y_mm, q.z_mm);
      // Points on vertical faces (the backing bar's edges) lie off the height field.
      ++points;
      on_faces += std::abs(p_base.z() - *cell.workpiece().height(p_base.x(), p_base.y())) > 1e-6;
    }
    if (!p.seam_found) continue;
    ++seams;
    const Eigen::Vector3d s_base = X_base_sensor * Eigen::Vector3d(0, p.seam_y_mm, p.seam_z_mm);
    EXPECT_NEAR((s_base - cell.workpiece().seam_at(s_base.x())).norm(), 0, 1e-6) << "t " << t;
    EXPECT_NEAR(s_base.x() - cell.motion().at(t).X_base_tool.translation().x(), 40, 1.0);
  }
  EXPECT_GT(seams, 8);  // the gap hides a few
  EXPECT_LT(on_faces, points / 1000);
}

TEST(Cell, NoiseAndSpatterAreRepeatableAndRoughlyAsConfigured) {
  const Cell cell(standard_scenario());
  const Cell clean([] {
    Scenario s = standard_scenario();
    s.camera.noise_mm = s.camera.spatter = s.camera.seam_noise_mm = 0;
    return s;
  }());
  double sum2 = 0;
  int n = 0, spattered = 0;
  for (std::uint64_t f = 0; f < 50; ++f) {
    const CellProfile a = cell.scan(f, 1.0), b = clean.scan(f, 1.0);
    EXPECT_EQ(a.seam_y_mm, cell.scan(f, 1.0).seam_y_mm);
    for (std::size_t i = 0; i < a.points.size(); ++i) {
      if (!a.points[i].valid) continue;
      const double e = a.points[i].z_mm - b.points[i].z_mm;
      if (e < -0.4) {
        ++spattered;
      } else {
        sum2 += e * e;
        ++n;
      }
    }
  }
  EXPECT_NEAR(std::sqrt(sum2 / n), 0.05, 0.005);
  EXPECT_NEAR(static_cast<double>(spattered) / (n + spattered), 0.02, 0.005);
}

TEST(Motion, SpeedProfileRampsHoldsAndStops) {
  const Cell cell(standard_scenario());
  const auto& m = cell.motion();
  EXPECT_EQ(m.at(0.2).s_mm, 0);
  EXPECT_NEAR(m.at(1.0).speed_mm_s, 100, 1e-9);
  EXPECT_NEAR(m.at(2.5).speed_mm_s, 10, 1e-9);
  EXPECT_NEAR(m.at(3.5).speed_mm_s, 30, 1e-9);
  EXPECT_EQ(m.at(4.7).s_mm, m.at(5.0).s_mm);  // the stop
  EXPECT_NEAR(m.at(4.7).speed_mm_s, 0, 1e-9);
  // Position is continuous and never goes back.
  double last = 0;
  for (double t = 0; t < m.duration_s(); t += 0.001) {
    const double s = m.at(t).s_mm;
    EXPECT_GE(s, last - 1e-9);
    EXPECT_LT(s - last, 0.11);
    last = s;
  }
  EXPECT_NEAR(last, 283, 5);
}

TEST(Motion, PoseProgramHoldsAtEachPoseWithTheFlag) {
  Eigen::Isometry3d a = Eigen::Isometry3d::Identity(), b = a;
  b.translate(Eigen::Vector3d(10, 0, 0)).rotate(Eigen::AngleAxisd(0.4, Eigen::Vector3d::UnitZ()));
  const PoseProgram prog({{a, 100}, {b, 200}}, 0.5);
  EXPECT_NEAR(prog.duration_s(), 0.8, 1e-12);
  EXPECT_TRUE(prog.at(0.05).holding);
  EXPECT_FALSE(prog.at(0.35).holding);
  EXPECT_NEAR(prog.at(0.35).X_base_tool.translation().x(), 5, 1e-9);
  EXPECT_TRUE(prog.at(0.7).holding);
  EXPECT_TRUE(prog.at(0.7).X_base_tool.isApprox(b));
}

TEST(PoseStream, DatagramsRoundTripAndOthersAreRefused) {
  PoseDatagram d;
  d.seq = 7;
  d.t_robot_us = -12345678901;
  d.X_base_tool.translate(Eigen::Vector3d(1.5, -2, 3))
      .rotate(Eigen::AngleAxisd(2.0, Eigen::Vector3d(1, 2, 3).normalized()));
  d.flags = kPoseHolding;
  const auto bytes = encode_pose(d);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "MKP1");
  const auto back = decode_pose(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->seq, 7u);
  EXPECT_EQ(back->t_robot_us, d.t_robot_us);
  EXPECT_EQ(back->flags, kPoseHolding);
  EXPECT_TRUE(back->X_base_tool.isApprox(d.X_base_tool, 1e-12));
  EXPECT_FALSE(decode_pose(std::span(bytes).first(79)));
  auto bad = bytes;
  bad[3] = '2';
  EXPECT_FALSE(decode_pose(bad));
}

TEST(PoseStream, ScheduleKeepsCycleLatencyOrderAndTheControllerClock) {
  const Cell cell(short_scenario());
  const Scenario& s = cell.scenario();
  PoseSchedule schedule(cell);
  double last_send = 0;
  int n = 0;
  while (auto e = schedule.next()) {
    EXPECT_NEAR(e->t_true_s, n / s.poses.rate_hz, 1e-12);
    EXPECT_GE(e->t_send_s, last_send);
    EXPECT_GE(e->t_send_s - e->t_true_s, s.pose_fixed_latency_ms() / 1000);
    EXPECT_LT(e->t_send_s - e->t_true_s, (s.poses.latency_ms + 2 * s.poses.jitter_ms) / 1000);
    EXPECT_EQ(e->pose.t_robot_us, std::llround(s.robot_clock.offset_us + e->t_true_s * 1e6 * (1 + 50e-6)));
    last_send = e->t_send_s;
    ++n;
  }
  EXPECT_EQ(n, static_cast<int>(cell.run_s() * s.poses.rate_hz) + 1);
}

}  // namespace
}  // namespace camsim::cell
