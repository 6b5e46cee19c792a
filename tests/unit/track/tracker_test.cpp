// The tracker on a small synthetic cell: the tool moves along base x with
// speed changes and a stop, the sensor 40 mm ahead scans a seam that wanders
// sideways; poses arrive 20 ms late on the robot's own clock, results 1 ms
// late on the camera's. Every seam reading is computed from the ground truth.
#include "track/tracker.hpp"

#include <cmath>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "track/config.hpp"

namespace mok::track {
namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kRobotLatency = 20 * kMs;
constexpr std::int64_t kDeviceLatency = 1 * kMs;
constexpr std::int64_t kRobotClock = 5'000'000'000;       // robot clock minus host clock, ns
constexpr std::int64_t kDeviceClock = 1'700'000'000'000;  // device clock minus host clock, us

// Torch pointing down: tool x along base x, tool z along base -z.
const Eigen::Quaterniond kToolDown(Eigen::AngleAxisd(M_PI, Eigen::Vector3d::UnitX()));
const Pose kMount{{40, 0, -100}, Eigen::Quaterniond::Identity()};

double seam_y(double x) { return 3 * std::sin(x / 40); }

struct Cell {
  std::function<double(double)> speed = [](double t) {
    return t < 1 ? 100.0 : t < 2 ? 10.0 : t < 2.5 ? 0.0 : 30.0;
  };
  std::function<bool(double)> found = [](double) { return true; };
  std::function<double(int)> spike = [](int) { return 0.0; };  // by result number
  double duration_s = 3.5;

  // Runs the cell through `tracker`; `each_pose` sees every pose after it
  // was pushed, with its host receive time.
  void run(Tracker& tracker, const std::function<void(const Pose&, std::int64_t)>& each_pose = {}) const {
    struct Event {
      std::int64_t rx;
      bool pose;
      std::int64_t t;
      Pose X;
    };
    std::vector<Event> events;
    double x = 0;
    for (std::int64_t t = 0; t < static_cast<std::int64_t>(duration_s * 1e9); t += kMs) {
      const Pose X_base_tool{{x, 0, 0}, kToolDown};
      if (t % (4 * kMs) == 0) events.push_back({t + kRobotLatency, true, t, X_base_tool});
      events.push_back({t + kDeviceLatency, false, t, X_base_tool});
      x += speed(static_cast<double>(t) / 1e9) * 1e-3;
    }
    int result = 0;
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.rx < b.rx; });
    for (const Event& e : events) {
      if (e.pose) {
        const mok_pose_t pose = to_c(e.X);
        ASSERT_EQ(tracker.push_pose(pose, (e.t + kRobotClock) / 1000, e.rx), MOK_OK);
        if (each_pose) each_pose(e.X, e.rx);
        continue;
      }
      const Pose X_base_sensor = e.X * kMount;
      const double xs = X_base_sensor.p.x();
      const Eigen::Vector3d p_sensor = X_base_sensor.inverse().apply({xs, seam_y(xs), 0});
      tracker.push_seam({static_cast<std::uint64_t>(e.t / 1000 + kDeviceClock), e.rx, found(xs),
                         p_sensor.y() + spike(result++), p_sensor.z(), 2, 1, 90});
    }
  }
};

mok_tracker_config_t cell_config() {
  mok_tracker_config_t c = default_config();
  c.robot_latency_ns = kRobotLatency;
  c.device_latency_ns = kDeviceLatency;
  return c;
}

class TrackerTest : public ::testing::Test {
 protected:
  TrackerTest() { tracker.set_mount(kMount); }
  Tracker tracker{cell_config()};
  mok_correction_t c{};
};

TEST_F(TrackerTest, SeamAndCorrectionFollowTheTruthThroughSpeedChangesAndAStop) {
  double worst = 0;
  int ok = 0;
  Cell{}.run(tracker, [&](const Pose& X, std::int64_t rx) {
    if (tracker.correction(nullptr, rx, c) != MOK_TRACK_OK) return;
    ++ok;
    // The torch is on the taught line y = 0; the seam is seam_y(x) to the
    // side, which is the tool's -y.
    worst = std::max(worst, std::abs(c.lateral_mm + seam_y(X.p.x())));
    EXPECT_NEAR(c.seam_base_mm[0], X.p.x(), 0.05);
    EXPECT_NEAR(c.vertical_mm, 0.0, 0.05);
  });
  EXPECT_GT(ok, 600);
  EXPECT_LT(worst, 0.05);
  // Stored by distance: the stretch the robot crawled and stood over reads
  // as true as the fast one.
  for (double s = 45; s < 150; s += 0.7) {
    double p[3];
    ASSERT_EQ(tracker.seam_at(s, p), MOK_TRACK_OK) << s;
    EXPECT_NEAR(p[1], seam_y(p[0]), 0.05) << s;
  }
  const mok_tracker_stats_t st = tracker.stats();
  EXPECT_GT(st.results_used, 3000u);
  EXPECT_EQ(st.results_stale + st.results_dropped + st.poses_future + st.poses_past, 0u);
  EXPECT_NEAR(st.robot_offset_ns, -kRobotClock + kRobotLatency, kMs);
}

TEST_F(TrackerTest, TellsNotYetScannedGapAndStaleWhereTheyApply) {
  Cell cell;
  cell.found = [](double xs) { return xs < 80 || xs > 90; };
  cell.duration_s = 1.6;  // ends at x = 106, sensor at 146
  std::vector<std::pair<double, std::int32_t>> seen;
  cell.run(tracker, [&](const Pose& X, std::int64_t rx) {
    seen.emplace_back(X.p.x(), tracker.correction(nullptr, rx, c));
  });
  for (const auto& [x, status] : seen) {
    const std::int32_t expected = x < 39                         ? MOK_TRACK_NOT_YET_SCANNED
                                  : x > 81 && x < 89             ? MOK_TRACK_GAP
                                  : (x > 41 && x < 79) || x > 91 ? MOK_TRACK_OK
                                                                 : status;  // near an edge: either
    EXPECT_EQ(status, expected) << x;
  }
  // A profile from after the last pose waits; one from before the poses kept is stale.
  const mok_scan_point_t point{0, 1, 2, 0};
  double xyz[3];
  const auto device_us = [](std::int64_t host_ns) {
    return static_cast<std::uint64_t>(host_ns / 1000 + kDeviceClock);
  };
  EXPECT_EQ(tracker.map_points(device_us(1'610 * kMs), &point, 1, xyz), MOK_TRACK_WAITING);
  EXPECT_EQ(tracker.map_points(device_us(-100 * kMs), &point, 1, xyz), MOK_TRACK_STALE_POSE);
  ASSERT_EQ(tracker.map_points(device_us(1'000 * kMs), &point, 1, xyz), MOK_TRACK_OK);
  EXPECT_NEAR(xyz[1], -1.0, 1e-9);  // the sensor's y is the base's -y
  EXPECT_EQ(tracker.correction(nullptr, 1'700 * kMs, c), MOK_TRACK_OK);
  EXPECT_EQ(tracker.correction(nullptr, 1'800 * kMs, c), MOK_TRACK_STALE_POSE);
  EXPECT_GT(tracker.stats().results_not_found, 0u);
}

TEST_F(TrackerTest, RejectsSpatterAndCountsIt) {
  Cell cell;
  int spikes = 0;
  cell.spike = [&](int n) { return n % 37 == 0 ? (++spikes, 2.5) : 0.0; };
  cell.duration_s = 1.2;
  cell.run(tracker);
  const auto st = tracker.stats();
  EXPECT_GE(st.results_outliers, static_cast<std::uint64_t>(spikes * 9 / 10));
  EXPECT_LE(st.results_outliers, static_cast<std::uint64_t>(spikes + 20));
  for (double s = 45; s < 140; s += 0.5) {
    double p[3];
    ASSERT_EQ(tracker.seam_at(s, p), MOK_TRACK_OK) << s;
    EXPECT_NEAR(p[1], seam_y(p[0]), 0.1) << s;
  }
}

TEST(Tracker, AnswersNoPoseFirstAndRefusesBadPosesCountingEach) {
  Tracker tracker(cell_config());
  mok_correction_t c{};
  EXPECT_EQ(tracker.correction(nullptr, 0, c), MOK_TRACK_NO_POSE);
  EXPECT_EQ(c.status, MOK_TRACK_NO_POSE);
  std::int64_t host_ns;
  EXPECT_EQ(tracker.device_time(1, host_ns), MOK_TRACK_NO_CLOCK);
  EXPECT_TRUE(std::isnan(c.lateral_mm));
  const mok_pose_t good{0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(tracker.push_pose({NAN, 0, 0, 1, 0, 0, 0}, 0, 0), MOK_TRACK_ERR_BAD_POSE);
  EXPECT_EQ(tracker.push_pose({0, 0, 0, 0.9, 0, 0, 0}, 0, 0), MOK_TRACK_ERR_BAD_POSE);
  // Settle the robot clock for a second at 4 ms, 20 ms late.
  for (std::int64_t t = 0; t <= 1000 * kMs; t += 4 * kMs) {
    ASSERT_EQ(tracker.push_pose(good, t / 1000, t + kRobotLatency), MOK_OK);
  }
  EXPECT_EQ(tracker.push_pose(good, 1000'000, 1000 * kMs + kRobotLatency), MOK_TRACK_ERR_DUPLICATE);
  EXPECT_EQ(tracker.push_pose(good, 1100'000, 1004 * kMs + kRobotLatency), MOK_TRACK_ERR_FUTURE);
  EXPECT_EQ(tracker.push_pose(good, -3000'000, 1008 * kMs + kRobotLatency), MOK_TRACK_ERR_PAST);
  const auto st = tracker.stats();
  EXPECT_EQ(st.poses_bad, 2u);
  EXPECT_EQ(st.poses_duplicate, 1u);
  EXPECT_EQ(st.poses_future, 1u);
  EXPECT_EQ(st.poses_past, 1u);
  EXPECT_EQ(st.poses_accepted, 251u);
}

}  // namespace
}  // namespace mok::track
