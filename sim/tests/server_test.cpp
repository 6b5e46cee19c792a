// The simulator as a server on 127.0.0.1 with an ephemeral port, driven by a
// plain test client: reports, register writes, RTS pulls, the scan stream's
// sequence numbers, snapshots, replay, video and injected faults.
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "brelo/payload_decode.hpp"
#include "brelo/reg_cache.hpp"
#include "fxr/builder.hpp"
#include "sim/recording.hpp"
#include "sim/simulator.hpp"
#include "test_client.hpp"

namespace camsim {
namespace {

using mok::fxt::Kind;
using test::TestClient;

Options quiet_options() {
  Options o;
  o.port = 0;
  o.scan_rate = 50;
  return o;
}

mok::brelo::RegCache cache_of(const mok::fxt::Packet& p) {
  mok::brelo::RegCache c;
  mok::brelo::apply_report(c, p.payload.span());
  return c;
}

bool send_reg(TestClient& c, std::uint16_t id, std::uint32_t value) {
  mok::fxr::Builder b;
  b.push<std::uint32_t>(id, value);
  return c.send(stream::kRegisters, Kind::FlexRegs, b.bytes());
}

bool send_snapshot(TestClient& c, SnapshotFormat format, bool mark_seam, std::uint32_t quality) {
  namespace snap = mok::wire::snapshot;
  mok::fxr::Builder b;
  b.push<std::uint32_t>(snap::kFormat, static_cast<std::uint32_t>(format));
  b.push<std::uint32_t>(snap::kQuality, quality);
  b.push<std::uint32_t>(snap::kMarkSeam, mark_seam ? 1u : 0u);
  b.push<std::uint32_t>(snap::kFixed1, snap::kFixed1Value);
  b.push<std::uint32_t>(snap::kFixed2, snap::kFixed2Value);
  return c.send(stream::kSnapshotRequest, Kind::FlexRegs, b.bytes());
}

class Server : public testing::Test {
 protected:
  std::uint16_t start(Options o) {
    sim_ = std::make_unique<Simulator>(std::move(o));
    auto port = sim_->start();
    EXPECT_TRUE(port) << (port ? "" : port.error());
    return port ? *port : 0;
  }
  void TearDown() override {
    if (sim_) sim_->stop();
  }
  std::unique_ptr<Simulator> sim_;
};

TEST_F(Server, TwoClientsEachGetAFullReportOnConnect) {
  const auto port = start(quiet_options());
  ASSERT_NE(port, 0);
  TestClient a(port), b(port);
  ASSERT_TRUE(a.connected());
  ASSERT_TRUE(b.connected());
  for (TestClient* c : {&a, &b}) {
    auto p = c->next_on_stream(stream::kRegisters);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->head.kind, Kind::FlexRegs);
    const auto cache = cache_of(*p);
    EXPECT_TRUE(cache.cts && cache.rts && cache.exposure_time && cache.laser_enable && cache.laser_strength &&
                cache.task_id && cache.serial_number && cache.board_id);
    EXPECT_EQ(cache.width, 1280);
  }
  EXPECT_EQ(sim_->stats().accepted, 2u);
}

TEST_F(Server, RegisterWriteIsAppliedAndReportedToEveryClient) {
  const auto port = start(quiet_options());
  TestClient writer(port), watcher(port);
  ASSERT_TRUE(writer.next_on_stream(stream::kRegisters));
  ASSERT_TRUE(watcher.next_on_stream(stream::kRegisters));
  ASSERT_TRUE(send_reg(writer, reg::kExposureTime, 4321));
  const auto has_new_exposure = [](const mok::fxt::Packet& p) {
    return p.head.stream_id == stream::kRegisters && cache_of(p).exposure_time == 4321u;
  };
  EXPECT_TRUE(writer.next_where(has_new_exposure));
  EXPECT_TRUE(watcher.next_where(has_new_exposure));
  EXPECT_EQ(sim_->registers().settings().exposure_time, 4321u);
}

TEST_F(Server, RtsPullIsAnsweredWithTheRebasedClock) {
  const auto port = start(quiet_options());
  TestClient c(port);
  ASSERT_TRUE(c.next_on_stream(stream::kRegisters));
  mok::fxr::Builder rts;
  rts.push<std::uint64_t>(reg::kRts, 5'000'000);
  ASSERT_TRUE(c.send(stream::kRegisters, Kind::FlexRegs, rts.bytes()));
  ASSERT_TRUE(c.next_where([](const mok::fxt::Packet& p) {
    const auto r = cache_of(p).rts;
    return p.head.stream_id == stream::kRegisters && r && *r < 1'000'000'000;
  }));
  ASSERT_TRUE(send_reg(c, reg::kRtsPull, 1));
  auto p = c.next_on_stream(stream::kRegisters);
  ASSERT_TRUE(p);
  const auto rts_now = cache_of(*p).rts;
  ASSERT_TRUE(rts_now);
  EXPECT_GE(*rts_now, 5'000'000u);
  EXPECT_LT(*rts_now, 5'000'000u + 60'000'000u);  // the clock runs on from the new base
}

TEST_F(Server, ScanResultsArriveExactlyOnceInOrderAndDecode) {
  Options o = quiet_options();
  o.scan_rate = 2000;
  o.scene.point_count = 640;
  const auto port = start(o);
  TestClient c(port);
  std::uint64_t expect_seq = 1;
  std::uint64_t last_ts = 0;
  for (int i = 0; i < 500; ++i) {
    auto p = c.next_on_stream(stream::kScan);
    ASSERT_TRUE(p) << "after " << i << " results";
    ASSERT_EQ(p->head.seq, expect_seq++);
    EXPECT_GE(p->head.ts, last_ts);
    last_ts = p->head.ts;
    if (i % 50 == 0) {
      const auto r = mok::brelo::decode_scan_result(p->payload.span());
      ASSERT_TRUE(r);
      EXPECT_EQ(r->point_count, 640u);
    }
  }
}

TEST_F(Server, LaserOffStopsTheProfiles) {
  Options o = quiet_options();
  o.scan_rate = 500;
  const auto port = start(o);
  TestClient c(port);
  ASSERT_TRUE(c.next_on_stream(stream::kScan));
  ASSERT_TRUE(send_reg(c, reg::kLaserEnable, 0));
  ASSERT_TRUE(c.next_where([](const mok::fxt::Packet& p) {
    return p.head.stream_id == stream::kRegisters && cache_of(p).laser_enable == false;
  }));
  // Anything queued before the write came ahead of its report; nothing may follow it.
  EXPECT_FALSE(c.next_on_stream(stream::kScan, std::chrono::milliseconds(300)));
  ASSERT_TRUE(send_reg(c, reg::kLaserEnable, 1));
  EXPECT_TRUE(c.next_on_stream(stream::kScan));
}

TEST_F(Server, SnapshotsComeAsJpegPngOrRawOfTheReportedSize) {
  Options o = quiet_options();
  o.device.image_width = 320;
  o.device.image_height = 200;
  const auto port = start(o);
  TestClient c(port);
  struct Case {
    SnapshotFormat format;
    Kind kind;
  };
  for (const Case k : {Case{SnapshotFormat::Jpeg, Kind::Data}, Case{SnapshotFormat::Png, Kind::Data},
                       Case{SnapshotFormat::Raw, Kind::RawGray8}}) {
    ASSERT_TRUE(send_snapshot(c, k.format, true, 80));
    auto p = c.next_on_stream(stream::kSnapshotImage, std::chrono::milliseconds(10000));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->head.kind, k.kind);
    const auto img = mok::brelo::make_snapshot_image(p->payload.span(), 320, 200);
    EXPECT_EQ(static_cast<int>(img.format), static_cast<int>(k.format));
    if (k.format == SnapshotFormat::Raw) {
      EXPECT_EQ(img.data.size(), 320u * 200u);
    }
  }
}

TEST_F(Server, ReplaySendsTheRecordedPacketsUnchanged) {
  const std::string path = testing::TempDir() + "camsim_replay_" + std::to_string(::getpid()) + ".mokrec";
  std::vector<std::array<std::uint8_t, 24>> heads;
  {
    auto w = RecordingWriter::create(path, 0);
    ASSERT_TRUE(w);
    for (std::uint64_t i = 0; i < 3; ++i) {
      mok::fxt::Head h;
      h.length = 6;
      h.kind = Kind::Json;
      h.stream_id = stream::kScan;
      h.seq = 100 + i;
      h.ts = 7;
      heads.push_back(h.to_bytes());
      const std::vector<std::uint8_t> payload(6, static_cast<std::uint8_t>(i));
      ASSERT_TRUE(w->write(i * 30'000, heads.back(), payload));
    }
    ASSERT_TRUE(w->close());
  }
  Options o = quiet_options();
  o.replay_file = path;
  const auto port = start(o);
  ::unlink(path.c_str());
  TestClient c(port);
  for (std::size_t i = 0; i < 3; ++i) {
    auto p = c.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->head.to_bytes(), heads[i]);
    EXPECT_EQ(p->payload[0], i);
  }
  // Nothing else: a replay invents no reports or profiles.
  EXPECT_FALSE(c.next(std::chrono::milliseconds(200)));
}

TEST_F(Server, ReplayOfAMissingFileFailsToStart) {
  Options o = quiet_options();
  o.replay_file = "/nonexistent/camsim.mokrec";
  Simulator sim(o);
  EXPECT_FALSE(sim.start());
}

TEST_F(Server, CorruptHeadFaultBreaksTheStreamForTheReader) {
  Options o = quiet_options();
  o.faults.corrupt_after_s = 0.1;
  const auto port = start(o);
  TestClient c(port);
  while (c.next()) {
  }
  EXPECT_TRUE(c.corrupt());
}

TEST_F(Server, DropFaultClosesEachConnectionAndNewOnesAreServed) {
  Options o = quiet_options();
  o.faults.drop_every_s = 0.2;
  const auto port = start(o);
  {
    TestClient c(port);
    while (c.next()) {
    }
    EXPECT_TRUE(c.closed());
    EXPECT_FALSE(c.corrupt());
  }
  TestClient again(port);
  EXPECT_TRUE(again.next_on_stream(stream::kRegisters));
}

TEST_F(Server, StallKeepsSendingButNoLongerReads) {
  Options o = quiet_options();
  o.scan_rate = 200;
  o.faults.stall_after_s = 0.1;
  const auto port = start(o);
  TestClient c(port);
  ASSERT_TRUE(c.next_on_stream(stream::kRegisters));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(send_reg(c, reg::kExposureTime, 7777));
  // Profiles keep coming, but the write is never applied.
  for (int i = 0; i < 40; ++i) {
    auto p = c.next();
    ASSERT_TRUE(p);
    if (p->head.stream_id == stream::kRegisters) {
      EXPECT_NE(cache_of(*p).exposure_time, 7777u);
    }
  }
  EXPECT_NE(sim_->registers().settings().exposure_time, 7777u);
}

TEST_F(Server, FreezeGoesSilentWithoutClosing) {
  Options o = quiet_options();
  o.scan_rate = 200;
  o.faults.freeze_after_s = 0.1;
  const auto port = start(o);
  TestClient c(port);
  ASSERT_TRUE(c.next_on_stream(stream::kScan));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  while (c.next(std::chrono::milliseconds(300))) {  // drain what left before the freeze
  }
  EXPECT_FALSE(c.closed());
  EXPECT_EQ(sim_->stats().open, 1u);
}

TEST_F(Server, HalfCloseEndsTheStreamButKeepsTheConnection) {
  Options o = quiet_options();
  o.scan_rate = 500;
  o.faults.half_close_after_s = 0.1;
  const auto port = start(o);
  TestClient c(port);
  while (c.next()) {
  }
  EXPECT_TRUE(c.closed());
  EXPECT_FALSE(c.corrupt());
  // The simulator still reads: its side closes only when the client's does.
  ASSERT_TRUE(send_reg(c, reg::kTaskId, 3));
  EXPECT_EQ(sim_->stats().open, 1u);
}

TEST_F(Server, StartsOnlyOnce) {
  ASSERT_NE(start(quiet_options()), 0);
  sim_->stop();
  EXPECT_FALSE(sim_->start());
}

TEST_F(Server, LatencyAndJitterKeepTheOrder) {
  Options o = quiet_options();
  o.scan_rate = 1000;
  o.scene.point_count = 16;
  o.faults.latency_ms = 5;
  o.faults.jitter_ms = 20;
  const auto port = start(o);
  TestClient c(port);
  for (std::uint64_t seq = 1; seq <= 300; ++seq) {
    auto p = c.next_on_stream(stream::kScan);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->head.seq, seq);
  }
}

TEST_F(Server, VideoStreamsAccessUnitsStartingWithAKeyFrame) {
  Options o = quiet_options();
  VideoConfig v;
  v.codec = VideoCodec::H264;
  v.width = 96;
  v.height = 64;
  v.fps = 25;
  v.keyframe_interval = 10;
  o.video = v;
  const auto port = start(o);
  ASSERT_NE(port, 0);
  TestClient c(port);
  auto p = c.next_where([](const mok::fxt::Packet& q) { return q.head.kind == Kind::VideoH264; },
                        std::chrono::milliseconds(10000));
  ASSERT_TRUE(p);
  // Annex B with the parameter sets in front: a start code and an SPS NAL unit (type 7).
  const auto d = p->payload.span();
  ASSERT_GT(d.size(), 5u);
  bool has_sps = false;
  for (std::size_t i = 0; i + 3 < d.size(); ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && (d[i + 3] & 0x1F) == 7) has_sps = true;
  EXPECT_TRUE(has_sps);
  EXPECT_TRUE(c.next_where([](const mok::fxt::Packet& q) { return q.head.kind == Kind::VideoH264; }));
}

TEST_F(Server, StopClosesConnectedClients) {
  const auto port = start(quiet_options());
  TestClient c(port);
  ASSERT_TRUE(c.next_on_stream(stream::kRegisters));
  sim_->stop();
  while (c.next()) {
  }
  EXPECT_TRUE(c.closed());
  EXPECT_FALSE(sim_->running());
}

}  // namespace
}  // namespace camsim
