// The device client against a scripted camera: the bytes it writes, how it
// sorts what the camera sends, and its waits.
#include <atomic>
#include <future>

#include <gtest/gtest.h>

#include "brelo/reg_cache.hpp"
#include "support/device/harness.hpp"
#include "support/scan_payload.hpp"

namespace mok::test {
namespace {

using brelo::ErrorKind;
using Bytes = std::vector<std::uint8_t>;
namespace reg = brelo::reg;

std::uint64_t le64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void expect_flexregs(const std::optional<WirePacket>& p, std::uint16_t stream, const Bytes& payload) {
  ASSERT_TRUE(p);
  EXPECT_EQ(p->length, payload.size());
  EXPECT_EQ(p->flags, 0);
  EXPECT_EQ(p->kind, kKindFlexRegs);
  EXPECT_EQ(p->stream_id, stream);
  EXPECT_EQ(p->seq, 0u);
  EXPECT_EQ(p->payload, payload);
}

class ClientTest : public DeviceTest {};

TEST_F(ClientTest, SettersWriteOneEntryOnStreamZero) {
  connect_and_start();
  ASSERT_TRUE(client->set_exposure_time(1000).ok());
  expect_flexregs(cam.next_packet(), 0, {0x00, 0x02, 0x00, 0x18, 0xE8, 0x03, 0x00, 0x00});
  ASSERT_TRUE(client->set_laser_strength(0x01020304).ok());
  expect_flexregs(cam.next_packet(), 0, {0x00, 0x02, 0x04, 0x1A, 0x04, 0x03, 0x02, 0x01});
  ASSERT_TRUE(client->set_task_id(7).ok());
  expect_flexregs(cam.next_packet(), 0, {0x00, 0x02, 0x0C, 0x1C, 0x07, 0x00, 0x00, 0x00});
  ASSERT_TRUE(client->set_laser_enable(true).ok());
  expect_flexregs(cam.next_packet(), 0, {0x00, 0x02, 0x00, 0x1A, 0x01, 0x00, 0x00, 0x00});
  ASSERT_TRUE(client->set_laser_enable(false).ok());
  expect_flexregs(cam.next_packet(), 0, {0x00, 0x02, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x00});
  ASSERT_TRUE(client->set_rts(123).ok());
  expect_flexregs(cam.next_packet(), 0, {0x00, 0x04, 0x08, 0x11, 123, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(client->snapshot(10, true, 20).ok());
  expect_flexregs(cam.next_packet(), 1, {0, 2, 1, 0, 10, 0, 0, 0, 0, 2, 2, 0, 20, 0, 0, 0, 0,  2, 3, 0,
                                         1, 0, 0, 0, 0,  2, 4, 0, 1, 0, 0, 0, 0,  2, 5, 0, 50, 0, 0, 0});
  ASSERT_TRUE(client->snapshot(0xFFFFFFFF, false, 0).ok());
  auto snap = cam.next_packet();
  ASSERT_TRUE(snap);
  EXPECT_EQ(snap->payload[20], 0);  // flag entry value
  EXPECT_EQ((Bytes{snap->payload.begin() + 4, snap->payload.begin() + 8}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  // Setters only write: the cache still shows nothing.
  EXPECT_FALSE(client->exposure_time());
}

TEST_F(ClientTest, RtsZeroSendsWallClockMicros) {
  connect_and_start();
  const auto micros = [] {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
  };
  const std::uint64_t before = micros();
  ASSERT_TRUE(client->set_rts(0).ok());
  const std::uint64_t after = micros();
  auto p = cam.next_packet();
  ASSERT_TRUE(p);
  ASSERT_EQ(p->payload.size(), 12u);
  EXPECT_EQ((Bytes{p->payload.begin(), p->payload.begin() + 4}), (Bytes{0x00, 0x04, 0x08, 0x11}));
  const std::uint64_t sent = le64(p->payload.data() + 4);
  EXPECT_GE(sent, before);
  EXPECT_LE(sent, after);
}

TEST_F(ClientTest, SendsFailWithoutConnection) {
  EXPECT_EQ(client->set_exposure_time(1).error().kind, ErrorKind::SendFailed);
  EXPECT_EQ(client->set_rts(1).error().kind, ErrorKind::SendFailed);
  EXPECT_EQ(client->snapshot(1, false, 2).error().kind, ErrorKind::SendFailed);
  EXPECT_EQ(client->pull_rts(std::chrono::seconds(1)).error().kind, ErrorKind::SendFailed);
  connect_and_start();
  ASSERT_TRUE(client->stop().ok());
  EXPECT_TRUE(states.wait_for(static_cast<std::uint32_t>(brelo::State::Disconnected)));
  EXPECT_EQ(client->set_task_id(1).error().kind, ErrorKind::SendFailed);
}

TEST_F(ClientTest, ReportsFillTheCacheAndReleaseWaiters) {
  EXPECT_EQ(client->wait_params_ready(std::chrono::nanoseconds(0)).error().kind, ErrorKind::Timeout);
  EXPECT_EQ(client->wait_params_ready(std::chrono::milliseconds(20)).error().kind, ErrorKind::Timeout);
  connect_and_start();

  // A waiter blocked before the first report is released by it.
  auto waiter = std::async(std::launch::async, [&] { return client->wait_params_ready(kWait).ok(); });
  ASSERT_TRUE(cam.send_report(concat({reg_u32(reg::kExposureTime, 10000), reg_u32(reg::kLaserEnable, 2),
                                      reg_text(reg::kSerialNumber, "ABCDE"), reg_u64(reg::kCts, 1ULL << 40),
                                      reg_u32(reg::kTaskId, 9), reg_u32(reg::kTaskId, 10)})));
  EXPECT_TRUE(waiter.get());
  EXPECT_TRUE(client->wait_params_ready(std::chrono::nanoseconds(0)).ok());
  EXPECT_EQ(client->exposure_time(), 10000u);
  EXPECT_EQ(client->laser_enable(), true);
  EXPECT_EQ(client->serial_number(), std::string("ABCDE\0", 6));
  EXPECT_EQ(client->cts(), 1ULL << 40);
  EXPECT_EQ(client->task_id(), 9u);
  EXPECT_FALSE(client->rts());
  EXPECT_FALSE(client->laser_strength());
  EXPECT_FALSE(client->board_id());

  // Any non-video kind on stream 0 is a report; video kinds never are, and
  // other streams are ignored.
  ASSERT_TRUE(cam.send(kKindVideoVP8, wire::stream::kRegisters, reg_u32(reg::kLaserStrength, 55)));
  ASSERT_TRUE(cam.send(kKindVideoH264, wire::stream::kRegisters, reg_u32(reg::kTaskId, 77)));
  ASSERT_TRUE(cam.send(kKindFlexRegs, 5, reg_u32(reg::kTaskId, 78)));
  ASSERT_TRUE(cam.send_report(reg_u32(reg::kExposureTime, 3)));  // marks the end of the batch
  ASSERT_TRUE(eventually([&] { return client->exposure_time() == 3u; }));
  EXPECT_EQ(client->laser_strength(), 55u);
  EXPECT_EQ(client->task_id(), 9u);

  // Values, the ready flag and the latest result outlive the connection.
  ScanPayload scan;
  scan.u64(36, 4242);
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, scan.bytes()));
  ASSERT_TRUE(eventually([&] { return client->latest_scan_result() != nullptr; }));
  cam.drop_connection();
  ASSERT_TRUE(states.wait_for(static_cast<std::uint32_t>(brelo::State::Disconnected)));
  EXPECT_EQ(client->exposure_time(), 3u);
  EXPECT_EQ(client->latest_scan_result()->pts, 4242u);
  EXPECT_TRUE(client->wait_params_ready(std::chrono::nanoseconds(0)).ok());
}

TEST_F(ClientTest, PullRtsWaitsForTheNextReport) {
  connect_and_start();
  auto camera = std::async(std::launch::async, [&] {
    auto req = cam.next_packet();
    if (!req) return false;
    expect_flexregs(req, 0, {0x00, 0x02, 0x1C, 0x16, 0x01, 0x00, 0x00, 0x00});
    return cam.send_report(reg_u64(reg::kRts, 0x1122334455ULL));
  });
  auto r = client->pull_rts(kWait);
  ASSERT_TRUE(camera.get());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 0x1122334455ULL);

  // No reply: the wait ends with Timeout.
  auto t = client->pull_rts(std::chrono::milliseconds(20));
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().kind, ErrorKind::Timeout);
  EXPECT_EQ(t.error().code(), -4);
  ASSERT_TRUE(cam.next_packet());
}

TEST_F(ClientTest, PullRtsAnswersZeroWhenNoneCached) {
  connect_and_start();
  auto camera = std::async(std::launch::async, [&] {
    return cam.next_packet().has_value() && cam.send_report(reg_u32(reg::kTaskId, 1));
  });
  auto r = client->pull_rts(kWait);
  ASSERT_TRUE(camera.get());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 0u);
}

TEST_F(ClientTest, SnapshotImagesQueueInArrivalOrder) {
  EXPECT_EQ(client->recv_snapshot_image(0).error().kind, ErrorKind::Timeout);
  connect_and_start();
  // The transport refuses payloads under 4 bytes, so the short forms are
  // padded with bytes that match no signature.
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kSnapshotImage, Bytes{1, 2, 3, 4}));  // raw before any size report
  ASSERT_TRUE(cam.send_report(concat({reg_u32(reg::kImageWidth, 640), reg_u32(reg::kImageHeight, 480)})));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kSnapshotImage, Bytes{0xFF, 0xD8, 0xFF, 0xE0, 9}));
  ASSERT_TRUE(cam.send(kKindJson, wire::stream::kSnapshotImage, Bytes{0x89, 0x50, 0x4E, 0x47, 0x0D}));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kSnapshotImage, Bytes{0xFF, 0xD8, 0x00, 0xFF}));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kSnapshotImage, Bytes{0x89, 0x50, 0x4E, 0x00}));

  struct Want {
    brelo::SnapshotFormat format;
    std::uint32_t w, h;
    std::uint8_t first;
  };
  const Want want[] = {{brelo::SnapshotFormat::Raw, 0, 0, 1},
                       {brelo::SnapshotFormat::Jpeg, 0, 0, 0xFF},
                       {brelo::SnapshotFormat::Png, 0, 0, 0x89},
                       // 640 x 480 reported, but 4 bytes of data: no size.
                       {brelo::SnapshotFormat::Raw, 0, 0, 0xFF},
                       {brelo::SnapshotFormat::Raw, 0, 0, 0x89}};
  for (const Want& w : want) {
    auto img = client->recv_snapshot_image(kWait.count());
    ASSERT_TRUE(img.ok());
    EXPECT_EQ((*img)->format, w.format);
    EXPECT_EQ((*img)->width, w.w);
    EXPECT_EQ((*img)->height, w.h);
    ASSERT_FALSE((*img)->data.empty());
    EXPECT_EQ((*img)->data[0], w.first);
  }
  EXPECT_EQ(client->recv_snapshot_image(0).error().kind, ErrorKind::Timeout);
}

TEST_F(ClientTest, EachImageWakesExactlyOneReceiver) {
  connect_and_start();
  // UINT64_MAX must mean "no limit", not a deadline that wrapped into the past.
  auto a = std::async(std::launch::async, [&] { return client->recv_snapshot_image(UINT64_MAX); });
  auto b = std::async(std::launch::async, [&] { return client->recv_snapshot_image(UINT64_MAX); });
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kSnapshotImage, Bytes{1, 0, 0, 0}));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kSnapshotImage, Bytes{2, 0, 0, 0}));
  if (a.wait_for(kWait) != std::future_status::ready || b.wait_for(kWait) != std::future_status::ready) {
    // Release the receivers so the test ends, then fail.
    client->inner()->push_snapshot_image(Bytes{9, 9, 9, 9});
    client->inner()->push_snapshot_image(Bytes{9, 9, 9, 9});
    FAIL() << "receivers were not woken";
  }
  auto ra = a.get();
  auto rb = b.get();
  ASSERT_TRUE(ra.ok() && rb.ok());
  EXPECT_NE((*ra)->data, (*rb)->data);
  EXPECT_EQ(client->recv_snapshot_image(0).error().kind, ErrorKind::Timeout);
}

TEST_F(ClientTest, ScanResultsReachCallbackInOrderAndLatestSlot) {
  EXPECT_EQ(client->latest_scan_result(), nullptr);
  std::mutex m;
  std::vector<std::uint64_t> seen;
  client->set_scan_cb([&](brelo::ScanResultPtr r) {
    std::lock_guard lock(m);
    seen.push_back(r->pts);
  });
  connect_and_start();
  ScanPayload first(3);
  first.u64(36, 111).profile_point(2, 500, 700);
  ScanPayload second;
  second.u64(36, 222);
  ScanPayload broken;
  broken.u8(2, 1).u64(36, 333);
  ASSERT_TRUE(cam.send(kKindJson, wire::stream::kScan, first.bytes()));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, second.bytes()));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, broken.bytes()));
  ASSERT_TRUE(cam.send(kKindVideoH265, wire::stream::kScan, first.bytes()));  // video, not a scan result
  ASSERT_TRUE(cam.send(kKindData, 17, first.bytes()));                        // unknown stream
  ASSERT_TRUE(cam.send_report(reg_u32(reg::kTaskId, 1)));                     // marks the end of the batch
  ASSERT_TRUE(client->wait_params_ready(kWait).ok());

  auto latest = client->latest_scan_result();
  ASSERT_NE(latest, nullptr);
  EXPECT_EQ(latest->pts, 222u);
  EXPECT_EQ(client->latest_scan_result(), latest);  // reading does not consume
  client->clear_scan_cb();
  std::lock_guard lock(m);
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{111, 222}));
}

// Results are reused once nobody holds them; one the host keeps must stay
// exactly as delivered while later results arrive, and results the host
// drops at once must still each carry their own values.
TEST_F(ClientTest, KeptScanResultsStayIntactWhileDroppedOnesAreReused) {
  std::mutex m;
  std::vector<brelo::ScanResultPtr> kept;
  std::vector<std::pair<std::uint64_t, float>> seen;  // pts, first point's y
  client->set_scan_cb([&](brelo::ScanResultPtr r) {
    std::lock_guard lock(m);
    seen.emplace_back(r->pts, r->points[0].y);
    if (r->pts % 2 == 0) kept.push_back(std::move(r));
  });
  connect_and_start();
  constexpr std::uint64_t kCount = 40;
  for (std::uint64_t i = 1; i <= kCount; ++i) {
    ScanPayload p(4 + i % 3);
    p.u64(36, i).profile_point(0, 0, static_cast<std::uint16_t>(100 * i));
    ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, p.bytes()));
  }
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return seen.size() == kCount;
  }));
  client->clear_scan_cb();
  std::lock_guard lock(m);
  for (std::uint64_t i = 1; i <= kCount; ++i) {
    EXPECT_EQ(seen[i - 1].first, i);
    EXPECT_FLOAT_EQ(seen[i - 1].second, static_cast<float>(i));  // 100 * i / 100
  }
  ASSERT_EQ(kept.size(), kCount / 2);
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const std::uint64_t i = 2 * (k + 1);
    EXPECT_EQ(kept[k]->pts, i);
    EXPECT_EQ(kept[k]->point_count, 4 + i % 3);
    EXPECT_FLOAT_EQ(kept[k]->points[0].y, static_cast<float>(i));
  }
}

TEST_F(ClientTest, ClearingScanCallbackWaitsForRunningCall) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> calls{0};
  client->set_scan_cb([&, released](brelo::ScanResultPtr) {
    if (calls.fetch_add(1) == 0) {
      entered.set_value();
      released.wait();
    }
  });
  connect_and_start();
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, ScanPayload{}.bytes()));
  ASSERT_EQ(entered.get_future().wait_for(kWait), std::future_status::ready);

  std::atomic<bool> cleared{false};
  std::thread clearer([&] {
    client->clear_scan_cb();
    cleared = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(cleared.load());  // still inside the callback
  release.set_value();
  clearer.join();
  EXPECT_TRUE(cleared.load());

  // The old callback is not called again.
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, ScanPayload{}.bytes()));
  ASSERT_TRUE(cam.send_report(reg_u32(reg::kTaskId, 1)));
  ASSERT_TRUE(client->wait_params_ready(kWait).ok());
  ASSERT_TRUE(eventually([&] { return client->task_id() == 1u; }));
  EXPECT_EQ(calls.load(), 1);
}

// All of a client's work runs on one worker: a state change that comes while
// the scan callback runs (here the camera going away) is reported after it.
TEST_F(ClientTest, StateCallbackWaitsForTheRunningScanCallback) {
  std::atomic<bool> in_scan{false};
  std::atomic<bool> overlapped{false};
  client->set_state_cb([&](brelo::State s) {
    if (in_scan.load()) overlapped = true;
    states.push(static_cast<std::uint32_t>(s));
  });
  std::promise<void> entered;
  std::atomic<int> calls{0};
  client->set_scan_cb([&](brelo::ScanResultPtr) {
    if (calls.fetch_add(1) != 0) return;
    in_scan = true;
    entered.set_value();
    // Long enough for a state callback on another thread to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    in_scan = false;
  });
  connect_and_start();
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, ScanPayload{}.bytes()));
  ASSERT_EQ(entered.get_future().wait_for(kWait), std::future_status::ready);
  cam.drop_connection();
  EXPECT_TRUE(states.wait_for(static_cast<std::uint32_t>(brelo::State::Disconnected)));
  EXPECT_FALSE(overlapped.load());
  client->clear_scan_cb();
  // The callbacks above use this test's locals: the fixture's own takes over
  // before they go (it also sees the states of the shutdown).
  client->set_state_cb([this](brelo::State s) { states.push(static_cast<std::uint32_t>(s)); });
}

TEST(ClientConnect, AddressRulesAndResolution) {
  auto rejected = brelo::Client::connect(test_runtime(), " cam-01:65536 ");
  ASSERT_FALSE(rejected.ok());
  EXPECT_EQ(rejected.error().kind, ErrorKind::InvalidArgument);
  EXPECT_FALSE(brelo::Client::connect(test_runtime(), "").ok());
  // '$' is not a host-name character: resolution fails locally, and connect
  // reports it instead of ending the process.
  auto unresolved = brelo::Client::connect(test_runtime(), "cam$bad:7000");
  ASSERT_FALSE(unresolved.ok());
  EXPECT_EQ(unresolved.error().kind, ErrorKind::Other);
  auto ok = brelo::Client::connect(test_runtime(), "  127.0.0.1  ");
  EXPECT_TRUE(ok.ok());
}

}  // namespace
}  // namespace mok::test
