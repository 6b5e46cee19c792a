// Statistics and the last failure's text through the C interface, against a
// scripted camera: every counter after known traffic (as differences from a
// baseline taken once connected, since connecting may refuse early sends),
// each kind of disconnect with its text, and the versioned struct's prefix
// rule for hosts that know a shorter struct.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "brelo/reg_cache.hpp"
#include "ffi/handles.hpp"
#include "fxt/error.hpp"
#include "mok/mok.h"
#include "support/device/harness.hpp"
#include "support/device_stats.hpp"
#include "support/scan_payload.hpp"

namespace mok::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::size_t wire_size(const Bytes& payload) { return 24 + payload.size(); }

class StatsTest : public DeviceTest {
 protected:
  mok_client h{nullptr};
  void SetUp() override {
    DeviceTest::SetUp();
    h.client = client;
  }
  void TearDown() override {
    h.client.reset();
    DeviceTest::TearDown();
  }
  bool wait_stats(auto pred) {
    return eventually([&] { return pred(stats_of(&h)); });
  }
};

TEST_F(StatsTest, ScriptedTrafficIsCountedByClassWithExactBytes) {
  EXPECT_EQ(mok_get_last_error(&h, nullptr, nullptr), MOK_ERR_NOT_AVAILABLE);
  connect_and_start();
  // The harness's probe is accepted before the write loop has written it.
  ASSERT_TRUE(wait_stats([](const mok_stats_t& s) { return s.packets_sent >= 1; }));
  const mok_stats_t base = stats_of(&h);
  EXPECT_EQ(base.state, MOK_STATE_CONNECTED);
  EXPECT_EQ(base.connect_attempts, 1u);
  EXPECT_EQ(base.connections_established, 1u);
  EXPECT_EQ(base.packets_sent, 1u);  // the harness's probe
  EXPECT_EQ(base.packets_received, 0u);

  const Bytes report = reg_u32(brelo::reg::kExposureTime, 7);
  const Bytes scan = ScanPayload(3).bytes();
  const Bytes bad_scan{1, 2, 3, 4, 5};
  const Bytes image{0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 4};
  const Bytes other{9, 9, 9, 9};
  const Bytes video{0, 0, 0, 1, 0x67, 1, 2, 3};
  ASSERT_TRUE(cam.send_report(report));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, scan));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, bad_scan));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kSnapshotImage, image));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kSnapshotImage, image));
  ASSERT_TRUE(cam.send(kKindData, 7, other));
  ASSERT_TRUE(cam.send(kKindVideoH264, 5, video));  // video is off
  ASSERT_TRUE(wait_stats([](const mok_stats_t& s) { return s.packets_received >= 9; }));

  mok_snapshot_image_t* img = mok_recv_snapshot_image(&h, 1000);
  ASSERT_NE(img, nullptr);
  mok_snapshot_image_free(img);
  ASSERT_EQ(mok_set_exposure_time(&h, 9), MOK_OK);
  ASSERT_TRUE(cam.next_packet());
  ASSERT_TRUE(wait_stats([](const mok_stats_t& s) { return s.packets_sent >= 2; }));

  const mok_stats_t s = stats_of(&h);
  EXPECT_EQ(s.packets_received, 9u);
  EXPECT_EQ(s.bytes_received, wire_size(report) + 4 * wire_size(scan) - wire_size(scan) + wire_size(bad_scan) +
                                  2 * wire_size(image) + wire_size(other) + wire_size(video));
  EXPECT_EQ(s.register_reports, 1u);
  EXPECT_EQ(s.scan_results, 4u);
  EXPECT_EQ(s.scan_results_rejected, 1u);
  EXPECT_EQ(s.snapshot_images, 2u);
  EXPECT_EQ(s.snapshots_queued, 2u);
  EXPECT_EQ(s.snapshots_received, 1u);
  EXPECT_EQ(s.ignored_packets, 1u);
  EXPECT_EQ(s.video_packets, 1u);
  EXPECT_EQ(s.video_packets_posted, 0u);
  EXPECT_EQ(s.frames_decoded, 0u);
  EXPECT_EQ(s.frames_delivered, 0u);
  EXPECT_EQ(s.frames_dropped, 0u);
  // Only the three valid results count, and only while they are recent.
  EXPECT_LE(s.scan_rate_hz, 3.0);
  EXPECT_EQ(s.packets_sent, 2u);
  EXPECT_EQ(s.bytes_sent - base.bytes_sent, 24u + 8u);  // one u32 register entry
  EXPECT_EQ(s.queue_depth, 0u);
  EXPECT_EQ(s.send_refused_queue_full, 0u);
  EXPECT_EQ(disconnects_total(s), 0u);

  ASSERT_EQ(mok_stop(&h), MOK_OK);
  ASSERT_TRUE(states.wait_for(MOK_STATE_DISCONNECTED));
  ASSERT_TRUE(wait_stats([](const mok_stats_t& x) { return x.disconnects_stop == 1; }));
  EXPECT_EQ(mok_set_task_id(&h, 1), MOK_ERR_SEND_FAILED);
  const mok_stats_t after = stats_of(&h);
  EXPECT_EQ(after.send_refused_not_connected - s.send_refused_not_connected, 1u);
  EXPECT_EQ(after.disconnects_remote_close + after.disconnects_decode_error, 0u);
  EXPECT_EQ(after.state, MOK_STATE_DISCONNECTED);
  // A stop is no failure.
  EXPECT_EQ(last_error(&h), "<none>");
}

TEST_F(StatsTest, RemoteCloseIsCountedWithItsText) {
  connect_and_start();
  cam.drop_connection();
  ASSERT_TRUE(wait_stats([](const mok_stats_t& s) { return s.disconnects_remote_close == 1; }));
  const mok_stats_t s = stats_of(&h);
  EXPECT_EQ(
      s.disconnects_stop + s.disconnects_decode_error + s.disconnects_inactivity + s.disconnects_write_failure,
      0u);
  EXPECT_EQ(last_error(&h), "remote closed read half");
}

TEST_F(StatsTest, SilentCameraIsNoticedAfterTheSetInactivityTimeAndRetried) {
  EXPECT_EQ(mok_set_timing(nullptr, 0, 0, 0, 0), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_set_timing(&h, 0, 0, 99, 0), MOK_ERR_INVALID_ARGUMENT);
  ASSERT_EQ(mok_set_timing(&h, 100, 0, 200, 0), MOK_OK);
  connect_and_start();
  ASSERT_TRUE(wait_stats([](const mok_stats_t& s) { return s.disconnects_inactivity >= 1; }));
  EXPECT_EQ(last_error(&h), "connection timed out due to inactivity");
  ASSERT_TRUE(cam.wait_accepted(2));  // the reconnect follows 100 ms later
  // Once started, the timings stay as they are.
  EXPECT_EQ(mok_set_timing(&h, 0, 0, 0, 0), MOK_ERR_OTHER);
  EXPECT_EQ(last_error(&h), "timings can only be set before the first start");
}

TEST_F(StatsTest, CorruptHeadIsADecodeErrorDisconnectWithTheDecodersText) {
  connect_and_start();
  Bytes bad = encode_wire(kKindData, wire::stream::kScan, ScanPayload(0).bytes());
  bad[0] = bad[1] = bad[2] = 0;
  bad[3] = 2;  // a length below the smallest the reader accepts
  ASSERT_TRUE(cam.send_raw(bad));
  ASSERT_TRUE(wait_stats([](const mok_stats_t& s) { return s.disconnects_decode_error == 1; }));
  const mok_stats_t s = stats_of(&h);
  EXPECT_EQ(s.disconnects_remote_close + s.disconnects_stop, 0u);
  EXPECT_EQ(s.packets_received, 0u);
  EXPECT_EQ(last_error(&h), fxt::Error::length_too_small(2, 4).display());
}

TEST_F(StatsTest, LastErrorFollowsTheTextCopyProtocol) {
  // An Other failure's message, which the status code alone cannot carry.
  EXPECT_EQ(ffi::status_of(*client, brelo::Result<void>(err(brelo::Error::other("no decoder here")))),
            MOK_ERR_OTHER);
  uint32_t len = 0;
  ASSERT_EQ(mok_get_last_error(&h, nullptr, &len), MOK_OK);
  EXPECT_EQ(len, 16u);
  char small[4] = {'x', 'x', 'x', 'x'};
  len = sizeof small;
  EXPECT_EQ(mok_get_last_error(&h, small, &len), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(small[0], 'x');
  EXPECT_EQ(last_error(&h), "no decoder here");
  // Codes other than Other leave the text alone.
  EXPECT_EQ(ffi::status_of(*client, brelo::Result<void>(brelo::fail(brelo::ErrorKind::Timeout))), MOK_ERR_TIMEOUT);
  EXPECT_EQ(last_error(&h), "no decoder here");
}

TEST_F(StatsTest, OldHostGetsThePrefixItKnows) {
  connect_and_start();
  unsigned char raw[sizeof(mok_stats_t) + 8];
  std::memset(raw, 0xAB, sizeof raw);
  auto* s = reinterpret_cast<mok_stats_t*>(raw);
  EXPECT_EQ(mok_get_stats(&h, s, 3), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(raw[0], 0xAB);

  // A host that knew size, state, time in state and attempts.
  ASSERT_EQ(mok_get_stats(&h, s, 24), MOK_OK);
  EXPECT_EQ(s->size, 24u);
  EXPECT_EQ(s->state, MOK_STATE_CONNECTED);
  EXPECT_EQ(s->connect_attempts, 1u);
  EXPECT_EQ(raw[24], 0xAB);

  // Sizes between fields round down to whole fields.
  std::memset(raw, 0xAB, sizeof raw);
  ASSERT_EQ(mok_get_stats(&h, s, 30), MOK_OK);
  EXPECT_EQ(s->size, 24u);
  EXPECT_EQ(raw[24], 0xAB);

  // A newer host's larger struct gets what this library has.
  std::memset(raw, 0xAB, sizeof raw);
  ASSERT_EQ(mok_get_stats(&h, s, sizeof raw), MOK_OK);
  EXPECT_EQ(s->size, sizeof(mok_stats_t));
  EXPECT_EQ(raw[sizeof(mok_stats_t)], 0xAB);
}

TEST(StatsConnect, RefusedConnectKeepsTheSystemErrorText) {
  std::string address;
  {
    FakeCamera gone;
    address = gone.address();
  }
  mok_client_t* c = mok_connect(address.c_str());
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(mok_start(c), MOK_OK);
  ASSERT_TRUE(eventually([&] {
    mok_stats_t s{};
    return mok_get_stats(c, &s, sizeof s) == MOK_OK && s.state == MOK_STATE_CONNECT_FAILED;
  }));
  mok_stats_t s{};
  ASSERT_EQ(mok_get_stats(c, &s, sizeof s), MOK_OK);
  EXPECT_EQ(s.connect_attempts, 1u);
  EXPECT_EQ(s.connections_established, 0u);
  EXPECT_EQ(last_error(c), "Connection refused");
  mok_close(c);
}

}  // namespace
}  // namespace mok::test
