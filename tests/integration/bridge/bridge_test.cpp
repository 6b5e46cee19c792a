// mok-bridge end to end: emulated cameras -> mok-bridge (child process) ->
// DDS subscribers in this process that know the ROS 2 type names only.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include <mok/mok.h>
#include <mok/mok_track.h>
#include <signal.h>
#include <unistd.h>

#include "bridge_fixture.hpp"
#include "sim/scene.hpp"

namespace bridgetest {
namespace {

camsim::Options camera_options(double rate, std::uint32_t points) {
  camsim::Options o;
  o.scan_rate = rate;
  o.scene.point_count = points;
  o.scene.joint = camsim::Joint::Fillet;  // a wall hides part of the line: points without a return
  return o;
}

std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string s;
  std::getline(in, s);
  return s;
}

// Through the library, as any host would: the camera's registers are shared
// by all its connections.
void switch_laser_on(const Camera& cam) {
  mok_client_t* c = mok_connect(cam.address.c_str());
  ASSERT_NE(c, nullptr);
  mok_start(c);
  EXPECT_EQ(mok_wait_params(c, 10000), MOK_OK);
  EXPECT_EQ(mok_set_laser_enable(c, 1), MOK_OK);
  EXPECT_TRUE(eventually([&] {
    std::int32_t on = 0;
    return mok_get_laser_enable(c, &on) == MOK_OK && on == 1;
  }));
  mok_close(c);
}

struct SeamSeen {
  std::uint32_t index;
  bool found;
  float width;
};

TEST_F(BridgeTest, EveryProfileArrivesOnceInOrderWithItsValuesAcrossAReconnectAndForALateSubscriber) {
  camsim::Options o = camera_options(500, 256);
  o.faults.drop_every_s = 1.5;
  o.device.laser_enable = false;  // no profiles before every subscriber is matched
  Camera cam(o);
  Reader profiles(participant_, "rt/line/cam/profiles", &sensor_msgs_msg_dds__PointCloud2__desc);
  Reader seams(participant_, "rt/line/cam/seam", &mok_interfaces_msg_dds__Seam__desc);
  Reader seam_points(participant_, "rt/line/cam/seam_point", &geometry_msgs_msg_dds__PointStamped__desc);
  Reader health(participant_, "rt/line/cam/diagnostics", &diagnostic_msgs_msg_dds__DiagnosticArray__desc);
  BridgeProcess bridge(domain_, {cam.address, "--namespace", "/line/cam/", "--frame-id", "cam_optical"});
  ProfileChecker checker(o);
  std::vector<SeamSeen> seen;
  std::set<std::int64_t> found_stamps;
  std::vector<std::int64_t> points_found;
  const auto ns = [](const builtin_interfaces_msg_dds__Time_& t) {
    return std::int64_t{t.sec} * 1'000'000'000 + t.nanosec;
  };
  std::string received, published;
  const auto drain = [&] {
    profiles.take<sensor_msgs_msg_dds__PointCloud2_>([&](const sensor_msgs_msg_dds__PointCloud2_& m) {
      EXPECT_STREQ(m.header.frame_id, "cam_optical");
      for (const Row& r : rows_of(m)) checker.check(r);
    });
    seams.take<mok_interfaces_msg_dds__Seam_>([&](const mok_interfaces_msg_dds__Seam_& m) {
      seen.push_back({m.profile_index, m.found, m.width});
      if (m.found) found_stamps.insert(ns(m.header.stamp));
    });
    seam_points.take<geometry_msgs_msg_dds__PointStamped_>(
        [&](const geometry_msgs_msg_dds__PointStamped_& m) { points_found.push_back(ns(m.header.stamp)); });
    health.take<diagnostic_msgs_msg_dds__DiagnosticArray_>(
        [&](const diagnostic_msgs_msg_dds__DiagnosticArray_& m) {
          received = diagnostic_value(m, "profiles_received");
          published = diagnostic_value(m, "profiles_published");
        });
  };

  ASSERT_TRUE(eventually([&] {
    drain();
    return profiles.matched() == 1 && seams.matched() == 1 && seam_points.matched() == 1 && !received.empty();
  })) << bridge.log();
  switch_laser_on(cam);

  // Through a reconnect; a subscriber that joins after it starts mid-stream.
  ASSERT_TRUE(eventually(
      [&] {
        drain();
        return checker.gaps() >= 1;
      },
      30s))
      << bridge.log();
  Reader late(participant_, "rt/line/cam/profiles", &sensor_msgs_msg_dds__PointCloud2__desc);
  Reader late_best_effort(participant_, "rt/line/cam/profiles", &sensor_msgs_msg_dds__PointCloud2__desc,
                          {.reliable = false, .keep_all = false, .depth = 10});
  std::vector<Row> late_rows;
  std::size_t best_effort_messages = 0;
  ASSERT_TRUE(eventually([&] {
    drain();
    late.take<sensor_msgs_msg_dds__PointCloud2_>([&](const auto& m) {
      for (Row& r : rows_of(m)) late_rows.push_back(std::move(r));
    });
    best_effort_messages += late_best_effort.take<sensor_msgs_msg_dds__PointCloud2_>([](const auto&) {});
    return late_rows.size() >= 200 && best_effort_messages > 0;
  })) << bridge.log();

  // The camera goes away; everything the bridge received must have arrived.
  cam.sim->stop();
  ASSERT_TRUE(eventually([&] {
    drain();
    return received == std::to_string(checker.first_index() + checker.rows()) && published == received;
  })) << "received "
      << received << ", published " << published << ", subscriber " << checker.rows();
  EXPECT_EQ(cam.sim->stats().scans_skipped, 0u);
  EXPECT_GE(checker.gaps(), 1u);
  EXPECT_EQ(checker.first_index(), 0u);

  ASSERT_FALSE(late_rows.empty());
  EXPECT_GT(late_rows.front().index, 0u);
  for (std::size_t i = 0; i < late_rows.size(); ++i) {
    EXPECT_EQ(late_rows[i].index, late_rows.front().index + i);
    EXPECT_TRUE(checker.matches(late_rows[i], checker.frames().at(late_rows[i].index)));
  }

  // Each reader matched on its own; compare where both saw the stream.
  while (!seen.empty() && seen.front().index < checker.first_index()) seen.erase(seen.begin());
  ASSERT_FALSE(seen.empty());
  EXPECT_LT(seen.front().index, checker.first_index() + 50);
  EXPECT_EQ(seen.back().index, checker.first_index() + checker.rows() - 1);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].index, seen.front().index + i);
    const std::uint64_t frame = checker.frames().at(seen[i].index);
    const camsim::Profile p = camsim::generate_profile(o.scene, frame, static_cast<double>(frame) / o.scan_rate);
    EXPECT_EQ(seen[i].found, p.seam_found);
    if (p.seam_found) {
      EXPECT_NEAR(seen[i].width, p.seam_width, 0.006);
    }
  }
  // A seam point goes out with every found seam, stamped as the seam.
  EXPECT_GT(points_found.size(), 0u);
  for (const std::int64_t stamp : points_found) EXPECT_TRUE(found_stamps.count(stamp)) << stamp;
  EXPECT_EQ(bridge.stop(), 0);
}

TEST_F(BridgeTest, OneSubscriberSeesTwoCamerasOfOneBridgeAndACameraOfAnotherBridgeProcess) {
  const camsim::Options o = camera_options(200, 128);
  Camera left(o), right(o), other(o);
  const std::string file = testing::TempDir() + "bridge-cameras.txt";
  std::ofstream(file) << "# cell 1\n"
                      << left.address << " cell1/left\n"
                      << right.address << " /cell1/right/ right_link\n";
  BridgeProcess one(domain_, {"--cameras", file});
  BridgeProcess two(domain_, {other.address, "--namespace", "cell2"});

  struct Stream {
    Reader reader;
    ProfileChecker checker;
    std::string frame_id;
  };
  const auto desc = &sensor_msgs_msg_dds__PointCloud2__desc;
  Stream streams[] = {{Reader(participant_, "rt/cell1/left/profiles", desc), ProfileChecker(o), "cell1_left"},
                      {Reader(participant_, "rt/cell1/right/profiles", desc), ProfileChecker(o), "right_link"},
                      {Reader(participant_, "rt/cell2/profiles", desc), ProfileChecker(o), "cell2"}};
  ASSERT_TRUE(eventually(
      [&] {
        bool all = true;
        for (Stream& s : streams) {
          s.reader.take<sensor_msgs_msg_dds__PointCloud2_>([&](const sensor_msgs_msg_dds__PointCloud2_& m) {
            EXPECT_EQ(s.frame_id, m.header.frame_id);
            for (const Row& r : rows_of(m)) s.checker.check(r);
          });
          all = all && s.checker.rows() >= 100;
        }
        return all;
      },
      20s))
      << one.log() << two.log();
  std::remove(file.c_str());
}

TEST_F(BridgeTest, TracksTheSeamFromRobotPosesAndPublishesTheCorrection) {
  Camera cam(camera_options(500, 64));
  switch_laser_on(cam);
  // The sensor 40 mm ahead of the tool along its x.
  const std::string mount = testing::TempDir() + "bridge-mount.json";
  const mok_pose_t X_tool_sensor{40, 0, 0, 1, 0, 0, 0};
  ASSERT_EQ(mok_track_mount_save(mount.c_str(), &X_tool_sensor, nullptr, nullptr, 0), MOK_OK);
  BridgeProcess bridge(domain_, {cam.address, "--namespace", "cell", "--mount", mount, "--pose-topic",
                                 "/robot/tool_pose", "--base-frame", "world"});
  Reader corrections(participant_, "rt/cell/correction", &mok_interfaces_msg_dds__Correction__desc);
  Reader seams(participant_, "rt/cell/seam_base", &geometry_msgs_msg_dds__PointStamped__desc);
  const dds_entity_t topic = dds_create_topic(participant_, &geometry_msgs_msg_dds__PoseStamped__desc,
                                              "rt/robot/tool_pose", nullptr, nullptr);
  const dds_entity_t poses = dds_create_writer(participant_, topic, nullptr, nullptr);
  ASSERT_GT(poses, 0);

  // The tool moves along the base x at 100 mm/s, one pose per poll (every
  // few ms), stamped with the host's wall clock as a robot on this host would.
  const auto start = std::chrono::system_clock::now();
  std::set<std::int32_t> statuses;
  std::size_t seam_points = 0;
  const bool ok = eventually(
      [&] {
        const auto now = std::chrono::system_clock::now();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
        const double s = std::chrono::duration<double>(now - start).count();
        geometry_msgs_msg_dds__PoseStamped_ m{};
        m.header.stamp = {static_cast<std::int32_t>(ns / 1'000'000'000),
                          static_cast<std::uint32_t>(ns % 1'000'000'000)};
        m.header.frame_id = const_cast<char*>("world");
        m.pose.position.x = 0.1 * s;  // metres
        m.pose.orientation.w = 1;
        dds_write(poses, &m);
        corrections.take<mok_interfaces_msg_dds__Correction_>([&](const mok_interfaces_msg_dds__Correction_& c) {
          statuses.insert(c.status);
          EXPECT_STREQ(c.header.frame_id, "world");
          // The seam at the torch's distance lies beside the torch, not ahead.
          if (c.status == MOK_TRACK_OK) {
            EXPECT_NEAR(c.offset_base_mm.x, 0.0, 1.0);
          }
        });
        seams.take<geometry_msgs_msg_dds__PointStamped_>(
            [&](const geometry_msgs_msg_dds__PointStamped_&) { ++seam_points; });
        return statuses.count(MOK_TRACK_OK) > 0 && seam_points > 0;
      },
      20s);
  EXPECT_TRUE(ok) << bridge.log();
  EXPECT_TRUE(statuses.count(MOK_TRACK_NOT_YET_SCANNED)) << "the torch starts behind the first scanned point";
  std::remove(mount.c_str());
}

// The stuck subscriber of the next test, run as a child process: it matches,
// stops itself (SIGSTOP) and so acknowledges nothing until it is continued;
// then it reads on and writes the first jump in the profile index it sees.
TEST_F(BridgeTest, DISABLED_StuckSubscriberChild) {
  const char* ready = std::getenv("MOK_BRIDGE_TEST_STUCK_READY");
  if (!ready) GTEST_SKIP() << "only run as the stuck subscriber of the slow-subscriber test";
  Reader stuck(participant_, "rt/slow/profiles", &sensor_msgs_msg_dds__PointCloud2__desc);
  std::int64_t last = -1;
  bool resumed = false;
  const auto read = [&] {
    stuck.take<sensor_msgs_msg_dds__PointCloud2_>([&](const sensor_msgs_msg_dds__PointCloud2_& m) {
      for (const Row& r : rows_of(m)) {
        if (resumed && r.index != last + 1) std::ofstream(std::string(ready) + ".gap") << last << " " << r.index;
        last = r.index;
      }
    });
  };
  ASSERT_TRUE(eventually([&] { return stuck.matched() == 1; }, 60s));
  // A profile read before the stop: whatever was lost while stopped, even
  // all that waited in the socket buffers, shows as a jump from it.
  ASSERT_TRUE(eventually(
      [&] {
        read();
        return last >= 0;
      },
      60s));
  std::ofstream(ready) << "matched\n";
  raise(SIGSTOP);
  resumed = true;
  eventually(
      [&] {
        read();
        return false;
      },
      30s);
}

// A bridge held up by its subscriber stops reading altogether, whatever the
// rate; half the camera's top rate keeps a sanitized bridge on a loaded
// machine from falling behind on its own. The 2000 profiles the subscriber
// misses (some 15 MB) are more than the writer's history and the socket
// buffers hold, so profiles writes time out and the bridge counts them.
TEST_F(BridgeTest, ASubscriberThatFallsBehindNeverSlowsTheCamera) {
  Camera cam(camera_options(500, 640));
  Reader health(participant_, "rt/slow/diagnostics", &diagnostic_msgs_msg_dds__DiagnosticArray__desc);
  BridgeProcess bridge(domain_, {cam.address, "--namespace", "slow"});
  const std::string ready = testing::TempDir() + "bridge-stuck-" + std::to_string(getpid());
  ChildProcess stuck(
      {"/proc/self/exe", "--gtest_also_run_disabled_tests", "--gtest_filter=*StuckSubscriberChild"},
      {"MOK_BRIDGE_TEST_STUCK_READY=" + ready, "MOK_BRIDGE_TEST_DOMAIN=" + std::to_string(domain_)});
  ASSERT_TRUE(eventually([&] { return std::ifstream(ready).good(); }, 30s)) << stuck.log();
  std::remove(ready.c_str());
  const std::uint64_t sent_before = cam.sim->stats().scans_sent;
  ASSERT_TRUE(eventually([&] { return cam.sim->stats().scans_sent >= sent_before + 2000; }, 20s));

  // The bridge went on at the camera's pace while the subscriber stood still,
  // and counted what it could not publish.
  std::uint64_t received = 0, dropped = 0;
  ASSERT_TRUE(eventually([&] {
    health.take<diagnostic_msgs_msg_dds__DiagnosticArray_>(
        [&](const diagnostic_msgs_msg_dds__DiagnosticArray_& m) {
          received = std::stoull("0" + diagnostic_value(m, "profiles_received"));
          dropped = std::stoull("0" + diagnostic_value(m, "queue_dropped")) +
                    std::stoull("0" + diagnostic_value(m, "write_failed"));
        });
    return received >= sent_before + 1500 && dropped > 0;
  })) << "received "
      << received << ", dropped " << dropped << "\n"
      << bridge.log();
  EXPECT_EQ(cam.sim->stats().scans_skipped, 0u);

  // Continued, the subscriber finds the profiles that were never published
  // missing: the profile index jumps.
  stuck.resume();
  std::string gap;
  // Within the child's 30 s of reading: a sanitized child catching up on a
  // loaded machine can take longer than the usual 10 s.
  EXPECT_TRUE(eventually(
      [&] {
        gap = first_line(ready + ".gap");
        return !gap.empty();
      },
      25s))
      << stuck.log();
  std::remove((ready + ".gap").c_str());
}

}  // namespace
}  // namespace bridgetest
