// mok::brelo::Client connected to camsim::Simulator: parameters, RTS, scan
// results, snapshots of every format. Any byte the two sides read differently
// shows up here as a wrong value.
#include "brelo/client.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include <gtest/gtest.h>

#include "common/runtime.hpp"
#include "sim/simulator.hpp"
#include "support/eventually.hpp"

namespace {

using namespace std::chrono_literals;

constinit mok::ProcessRuntime RUNTIME("camsim-test");

using mok::test::eventually;

class ClientAgainstSimulator : public testing::Test {
 protected:
  void SetUp() override {
    camsim::Options o;
    o.port = 0;
    o.scan_rate = 200;
    o.scene.lost_every_s = 0;  // a seam in every profile
    sim_ = std::make_unique<camsim::Simulator>(o);
    auto port = sim_->start();
    ASSERT_TRUE(port) << port.error();
    ASSERT_NE(RUNTIME.get(), nullptr);
    auto c = mok::brelo::Client::connect(*RUNTIME.get(), "127.0.0.1:" + std::to_string(*port));
    ASSERT_TRUE(c.ok());
    client_ = std::move(*c);
    ASSERT_TRUE(client_->start().ok());
    ASSERT_TRUE(client_->wait_params_ready(5s).ok());
    // A report can arrive before the connector takes packets to send; an
    // unknown register (the camera ignores it) shows when it does.
    ASSERT_TRUE(eventually([&] { return client_->send_reg(0xFFFF, 0).ok(); }));
  }
  void TearDown() override {
    if (client_) client_->clear_scan_cb();
    client_.reset();
    if (sim_) sim_->stop();
  }
  std::unique_ptr<camsim::Simulator> sim_;
  std::shared_ptr<mok::brelo::Client> client_;
};

TEST_F(ClientAgainstSimulator, ReportFillsEveryGetter) {
  EXPECT_EQ(client_->serial_number(), "CSIM0001");
  EXPECT_EQ(client_->board_id(), "SIMBOARD-A02");
  EXPECT_EQ(client_->exposure_time(), 1000u);
  EXPECT_EQ(client_->laser_enable(), true);
  EXPECT_EQ(client_->laser_strength(), 80u);
  EXPECT_EQ(client_->task_id(), 0u);
  EXPECT_TRUE(client_->cts().has_value());
  EXPECT_TRUE(client_->rts().has_value());
}

TEST_F(ClientAgainstSimulator, WritesComeBackInTheNextReport) {
  ASSERT_TRUE(client_->set_exposure_time(2222).ok());
  ASSERT_TRUE(client_->set_laser_strength(45).ok());
  ASSERT_TRUE(client_->set_task_id(7).ok());
  EXPECT_TRUE(eventually([&] { return client_->task_id() == 7u; }));
  EXPECT_EQ(client_->exposure_time(), 2222u);
  EXPECT_EQ(client_->laser_strength(), 45u);
  EXPECT_EQ(sim_->registers().settings().task_id, 7u);
}

TEST_F(ClientAgainstSimulator, PullRtsReturnsTheClockSetBefore) {
  ASSERT_TRUE(client_->set_rts(123'456'789).ok());
  ASSERT_TRUE(eventually([&] {
    const auto r = client_->rts();
    return r && *r < 1'000'000'000;
  }));
  const auto rts = client_->pull_rts(5s);
  ASSERT_TRUE(rts.ok());
  EXPECT_GE(*rts, 123'456'789u);
  EXPECT_LT(*rts, 123'456'789u + 60'000'000u);
}

TEST_F(ClientAgainstSimulator, ScanResultsDescribeTheWeavingSeam) {
  auto count = std::make_shared<std::atomic<int>>(0);
  client_->set_scan_cb([count](mok::brelo::ScanResultPtr) { ++*count; });
  ASSERT_TRUE(eventually([&] { return count->load() >= 20; }));
  const auto r = client_->latest_scan_result();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->point_count, 1280u);
  EXPECT_TRUE(r->seam_found);
  const auto& root = r->seam_points[r->seam_point_idx];
  EXPECT_LT(std::abs(root.y), 4.0f);  // weave of 3 mm plus its slow drift
  EXPECT_NEAR(root.z, -8.0f, 1.0f);   // groove depth under a surface drifting by up to 0.8 mm
  EXPECT_FLOAT_EQ(r->seam_width, 12.0f);
  EXPECT_FLOAT_EQ(r->seam_angle, 67.0f);
  EXPECT_EQ(r->segments[0].type, 1);
  // The plate left of the joint sits at surface height.
  EXPECT_NEAR(r->points[10].z, 0.0f, 1.0f);
}

TEST_F(ClientAgainstSimulator, SnapshotsOfEachFormat) {
  for (std::uint32_t format : {1u, 2u, 0u}) {
    ASSERT_TRUE(client_->snapshot(format, false, 0).ok());
    auto img = client_->recv_snapshot_image(10000);
    ASSERT_TRUE(img.ok()) << "format " << format;
    EXPECT_EQ(static_cast<std::uint32_t>((*img)->format), format);
    if (format == 0) {
      EXPECT_EQ((*img)->width, 1280u);
      EXPECT_EQ((*img)->height, 1024u);
      EXPECT_EQ((*img)->data.size(), 1280u * 1024u);
    }
  }
}

}  // namespace
