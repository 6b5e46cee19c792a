// mok.hpp compiled as C++17 (this file's standard) and used against the
// simulator: ownership, callbacks as lambdas, spans and the error type.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <mok/mok.hpp>
#include <mok/mok_track.hpp>

#include "process.hpp"
#include "support/eventually.hpp"

static_assert(__cplusplus == 201703L, "this test checks that mok.hpp compiles as C++17");
static_assert(!std::is_copy_constructible_v<mok::Client> && std::is_nothrow_move_constructible_v<mok::Client>);
static_assert(!std::is_copy_constructible_v<mok::ScanResult> &&
              std::is_nothrow_move_constructible_v<mok::ScanResult>);
static_assert(sizeof(mok::Point) == 16);
static_assert(!std::is_copy_constructible_v<mok::Tracker> && std::is_nothrow_move_constructible_v<mok::Tracker>);

namespace {

using namespace std::chrono_literals;

// The transport marks a connection ready for sending only after its read
// loop runs, so the first parameter report can arrive while a send is still
// refused. The first send after connecting is therefore given a moment.
template <class F>
void first_send(F&& op) {
  for (int attempt = 0;; ++attempt) {
    try {
      return op();
    } catch (const mok::Error& e) {
      if (e.status() != mok::Status::SendFailed || attempt >= 50) throw;
    }
    std::this_thread::sleep_for(10ms);
  }
}

TEST(MokHpp, RefusedAddressThrowsInvalidArgument) {
  for (const char* addr : {"", "cam-01:65536", "a:b:c", "::1"}) {
    try {
      mok::Client::connect(addr);
      ADD_FAILURE() << "accepted " << addr;
    } catch (const mok::Error& e) {
      EXPECT_EQ(e.status(), mok::Status::InvalidArgument) << addr;
      EXPECT_NE(std::string(e.what()).find("invalid argument"), std::string::npos) << e.what();
    }
  }
}

TEST(MokHpp, UnconnectedClientGivesEmptyValuesAndTypedErrors) {
  auto c = mok::Client::connect("127.0.0.1:9");  // never started
  EXPECT_FALSE(c.exposure_time().has_value());
  EXPECT_FALSE(c.board_id().has_value());
  EXPECT_FALSE(c.latest_scan_result().has_value());
  EXPECT_FALSE(c.recv_snapshot_image(0ms).has_value());
  try {
    c.set_exposure_time(10);
    ADD_FAILURE() << "sent without a connection";
  } catch (const mok::Error& e) {
    EXPECT_EQ(e.status(), mok::Status::SendFailed);
  }
  try {
    c.wait_params(0ms);
    ADD_FAILURE() << "parameters without a connection";
  } catch (const mok::Error& e) {
    EXPECT_EQ(e.code(), -4);
  }
  // A moved-from client is empty and its destructor does nothing.
  mok::Client d = std::move(c);
  EXPECT_EQ(c.get(), nullptr);
  EXPECT_NE(d.get(), nullptr);
}

TEST(MokHpp, NullHandlesGiveNeutralValues) {
  mok::ScanResult r(nullptr);
  EXPECT_TRUE(r.points().empty());
  EXPECT_TRUE(r.seam_points().empty());
  EXPECT_TRUE(r.segments().empty());
  EXPECT_FALSE(r.seam_point().has_value());
  EXPECT_EQ(r.seam_info(), nullptr);
  mok::SnapshotImage i(nullptr);
  EXPECT_TRUE(i.data().empty());
  EXPECT_EQ(static_cast<int>(i.format()), -1);
}

// A setter only queues; flush() is what makes it safe to close right after.
TEST(MokHpp, TimingsAreSetBeforeStartAndFlushSendsQueuedWrites) {
  tooltest::Simulator sim;
  ASSERT_FALSE(sim.address().empty()) << sim.log();
  auto expect_status = [](mok::Status want, auto&& op) {
    try {
      op();
      ADD_FAILURE() << "no error";
    } catch (const mok::Error& e) {
      EXPECT_EQ(e.status(), want) << e.what();
    }
  };
  {
    auto c = mok::Client::connect(sim.address());
    expect_status(mok::Status::InvalidArgument, [&] { c.set_timing(0ms, 0ms, 50ms, 0ms); });
    c.set_timing(50ms, 0ms, 300ms, 0ms);
    c.start();
    c.wait_params(5s);
    expect_status(mok::Status::Other, [&] { c.set_timing(50ms, 0ms, 300ms, 0ms); });
    first_send([&] { c.set_task_id(9); });
    c.flush(5s);
  }
  auto check = mok::Client::connect(sim.address());
  check.start();
  check.wait_params(5s);
  EXPECT_EQ(check.task_id().value_or(0), 9u);
}

TEST(MokHpp, StreamsParametersResultsAndSnapshotsFromTheSimulator) {
  tooltest::Simulator sim;
  ASSERT_FALSE(sim.address().empty()) << sim.log();
  auto c = mok::Client::connect(sim.address());

  std::mutex mu;
  std::condition_variable cv;
  std::vector<mok::State> states;
  int results = 0;
  bool points_match = true;
  c.on_state([&](mok::State s) {
    std::lock_guard<std::mutex> lock(mu);
    states.push_back(s);
    cv.notify_all();
  });
  c.on_scan([&](mok::ScanResult r) {
    std::lock_guard<std::mutex> lock(mu);
    ++results;
    // The span covers exactly the C array.
    points_match = points_match && r.points().size() == ::mok_scan_result_point_count(r.get()) &&
                   r.points().data() == ::mok_scan_result_points(r.get()) && r.seam_points().size() == 8 &&
                   r.segments().size() == 32;
    cv.notify_all();
  });
  c.start();
  c.wait_params(5s);
  EXPECT_EQ(c.board_id().value_or(""), "SIMBOARD-A02");
  ASSERT_TRUE(c.exposure_time().has_value());

  first_send([&] { c.set_laser_enable(true); });
  c.set_exposure_time(*c.exposure_time() + 1);
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return results >= 20; })) << "results: " << results;
    EXPECT_TRUE(points_match);
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front(), mok::State::Connected);
  }
  auto latest = c.latest_scan_result();
  ASSERT_TRUE(latest.has_value());
  EXPECT_GT(latest->points().size(), 0u);

  c.snapshot(2);
  auto image = c.recv_snapshot_image(5s);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->format(), mok::ImageFormat::Png);
  EXPECT_STREQ(image->extension(), "png");

  // After clear_scan_cb returns the lambda is never called again, though
  // newer results keep arriving.
  c.clear_scan_cb();
  int frozen;
  {
    std::lock_guard<std::mutex> lock(mu);
    frozen = results;
  }
  const std::uint64_t cleared_at = c.latest_scan_result()->pts();
  ASSERT_TRUE(mok::test::eventually([&] { return c.latest_scan_result()->pts() > cleared_at + 2; }));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(results, frozen);
}

TEST(MokHpp, ResultsOutliveTheirClient) {
  tooltest::Simulator sim;
  ASSERT_FALSE(sim.address().empty()) << sim.log();
  std::optional<mok::ScanResult> kept;
  std::optional<mok::SnapshotImage> image;
  std::vector<mok::ScanResult> popped;
  {
    std::atomic<int> n{0};  // outlives the client, whose destructor unhooks the callback
    auto c = mok::Client::connect(sim.address());
    c.on_scan([&](mok::ScanResult) { ++n; });  // destroyed with the client while results flow
    c.enable_scan_queue(16);                   // the callback and the queue both see every result
    c.start();
    c.wait_params(5s);
    first_send([&] { c.set_laser_enable(true); });
    (void)mok::test::eventually([&] { return c.latest_scan_result().has_value(); });
    kept = c.latest_scan_result();
    popped = c.pop_scan_results(4, 5s);
    c.snapshot(1);
    image = c.recv_snapshot_image(5s);
  }
  ASSERT_TRUE(kept.has_value());
  ASSERT_FALSE(popped.empty());
  EXPECT_EQ(popped.back().points().size(), kept->points().size());
  float sum = 0;
  for (const mok::Point& p : kept->points()) sum += p.y;
  (void)sum;
  EXPECT_GT(kept->points().size(), 0u);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->data()[0], 0xFF);  // JPEG
}

#ifdef MOK_HPP_HAVE_VIDEO
TEST(MokHpp, VideoFramesAreOwnedAndOutliveDisable) {
  tooltest::Simulator sim({"--video", "h264"});
  ASSERT_FALSE(sim.address().empty()) << sim.log();
  std::mutex mu;
  std::condition_variable cv;
  std::vector<mok::VideoFrame> frames;
  auto c = mok::Client::connect(sim.address());
  c.on_video([&](mok::VideoFrame f) {
    std::lock_guard<std::mutex> lock(mu);
    if (frames.size() < 3) frames.push_back(std::move(f));
    cv.notify_all();
  });
  c.start();
  c.wait_params(5s);
  c.enable_video();
  c.enable_video();  // a second enable changes nothing
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, 20s, [&] { return frames.size() >= 3; })) << "frames: " << frames.size();
  }
  c.disable_video();
  c.clear_video_cb();
  // Kept frames stay readable after video is off.
  for (const auto& f : frames) {
    EXPECT_EQ(f.format(), MOK_PIXEL_FORMAT_RGBA);
    EXPECT_GT(f.width(), 0);
    EXPECT_GE(f.linesize(0), f.width() * 4);
    ASSERT_NE(f.data(0), nullptr);
    EXPECT_EQ(f.data(8), nullptr);  // plane index out of range
    auto info = f.info();
    EXPECT_EQ(info.width, f.width());
    EXPECT_EQ(info.height, f.height());
  }
}
#endif

TEST(MokHpp, LogHandlerReceivesTheTransportRecords) {
  std::mutex mu;
  std::vector<std::string> targets;
  mok::set_log_handler(
      [&](std::int32_t, const char* target, const char*) {
        std::lock_guard<std::mutex> lock(mu);
        targets.emplace_back(target);
      },
      MOK_LOG_DEBUG);
  {
    auto c = mok::Client::connect("127.0.0.1:9");
    c.start();
    c.stop();
  }
  mok::set_log_handler(nullptr);
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_NE(std::find(targets.begin(), targets.end(), "mok_fxt::client::tcp"), targets.end());
}

TEST(MokTrackHpp, RefusalsAreAnswersAndBadSettingsAndMountsThrow) {
  mok::TrackerConfig bad = mok::default_tracker_config();
  bad.smoothing_window_mm = -1;
  EXPECT_THROW(mok::Tracker{bad}, mok::Error);
  mok::TrackerConfig config = mok::default_tracker_config();
  config.poses_carry_robot_clock = 0;
  mok::Tracker tracker(config);
  EXPECT_EQ(tracker.correction(0).status, MOK_TRACK_NO_POSE);
  EXPECT_EQ(tracker.push_pose({0, 0, 0, 2, 0, 0, 0}, 0, 0), MOK_TRACK_ERR_BAD_POSE);
  EXPECT_THROW(tracker.set_mount({0, 0, 0, 0, 0, 0, 0}), mok::Error);
  try {
    mok::load_mount("/nonexistent/mount.json");
    ADD_FAILURE() << "no error";
  } catch (const mok::Error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/mount.json: cannot be read"), std::string::npos)
        << e.what();
  }
  // The tool at rest, the seam 2 mm to the side of the laser line's centre.
  ASSERT_EQ(tracker.push_pose({0, 0, 0, 1, 0, 0, 0}, 0, 1000), MOK_OK);
  tracker.push_seam(1, 1000, true, 2.0, 0.0);
  mok::TrackStatus status{};
  const auto seam = tracker.seam_at(0.0, &status);
  ASSERT_TRUE(seam) << mok::track_status_name(status);
  EXPECT_DOUBLE_EQ((*seam)[1], 2.0);
  EXPECT_EQ(tracker.stats().results_used, 1u);
}

}  // namespace
