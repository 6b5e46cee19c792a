// The mok_* C interface against a scripted camera: status codes, handle and
// pointer rules, the text-copy protocol, and the record layouts read through
// the raw pointers hosts get.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "brelo/reg_cache.hpp"
#include "ffi/handles.hpp"
#include "mok/mok.h"
#include "support/device/harness.hpp"
#include "support/device_stats.hpp"
#include "support/scan_payload.hpp"

namespace mok::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace reg = brelo::reg;

void record_state(uint32_t s, void* user) { static_cast<StateLog*>(user)->push(s); }

struct ScanSink {
  std::mutex m;
  std::condition_variable cv;
  std::vector<mok_scan_result_t*> results;
};
void record_scan(mok_scan_result_t* r, void* user) {
  auto* sink = static_cast<ScanSink*>(user);
  std::lock_guard lock(sink->m);
  sink->results.push_back(r);
  sink->cv.notify_all();
}

class CapiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h = mok_connect(cam.address().c_str());
    ASSERT_NE(h, nullptr);
    mok_set_state_cb(h, record_state, &states);
  }
  void TearDown() override {
    // Clearing waits for a running call, so the user data may go after it.
    mok_clear_state_cb(h);
    mok_clear_scan_cb(h);
    mok_close(h);
  }
  void start() {
    ASSERT_EQ(mok_start(h), MOK_OK);
    ASSERT_TRUE(states.wait_for(MOK_STATE_CONNECTED));
    ASSERT_TRUE(eventually([&] { return mok_set_task_id(h, 0) == MOK_OK; }));
    ASSERT_TRUE(cam.next_packet());
  }
  // Sends a report and waits until the client has applied it.
  void report(const Bytes& record) {
    auto& counter = h->client->inner()->report_count;
    const auto count = [&] {
      std::lock_guard lock(counter.mutex);
      return counter.value;
    };
    const std::uint64_t before = count();
    ASSERT_TRUE(cam.send_report(record));
    ASSERT_TRUE(eventually([&] { return count() > before; }));
  }

  FakeCamera cam;
  StateLog states;
  mok_client_t* h = nullptr;
};

TEST(CapiNull, EveryFunctionRefusesNull) {
  uint32_t u32 = 7;
  uint64_t u64 = 7;
  int32_t i32 = 7;
  char buf[4] = "xyz";
  mok_scan_point_t pt{};
  EXPECT_EQ(mok_connect(nullptr), nullptr);
  mok_close(nullptr);
  EXPECT_EQ(mok_start(nullptr), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_stop(nullptr), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_exposure_time(nullptr, &u32), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_laser_strength(nullptr, &u32), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_task_id(nullptr, &u32), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_laser_enable(nullptr, &i32), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_rts(nullptr, &u64), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_cts(nullptr, &u64), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_board_id(nullptr, buf, &u32), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_serial_number(nullptr, buf, &u32), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_set_exposure_time(nullptr, 1), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_set_laser_strength(nullptr, 1), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_set_task_id(nullptr, 1), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_set_laser_enable(nullptr, 1), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_set_rts(nullptr, 1), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_wait_params(nullptr, 0), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_pull_rts(nullptr, 0, &u64), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_snapshot(nullptr, 1, 1, 1), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_recv_snapshot_image(nullptr, 0), nullptr);
  EXPECT_EQ(mok_get_scan_result(nullptr), nullptr);
  mok_set_scan_cb(nullptr, record_scan, nullptr);
  mok_clear_scan_cb(nullptr);
  mok_set_state_cb(nullptr, record_state, nullptr);
  mok_clear_state_cb(nullptr);
  EXPECT_EQ(u32, 7u);
  EXPECT_EQ(u64, 7u);
  EXPECT_EQ(i32, 7);
  EXPECT_STREQ(buf, "xyz");

  mok_scan_result_free(nullptr);
  EXPECT_EQ(mok_scan_result_point_count(nullptr), 0u);
  EXPECT_EQ(mok_scan_result_points(nullptr), nullptr);
  EXPECT_EQ(mok_scan_result_pts(nullptr), 0u);
  EXPECT_FALSE(mok_scan_result_seam_found(nullptr));
  EXPECT_EQ(mok_scan_result_seam_point_idx(nullptr), 0u);
  EXPECT_EQ(mok_scan_result_seam_width(nullptr), 0.0f);
  EXPECT_EQ(mok_scan_result_seam_height(nullptr), 0.0f);
  EXPECT_EQ(mok_scan_result_seam_angle(nullptr), 0.0f);
  EXPECT_EQ(mok_scan_result_seam_points(nullptr), nullptr);
  EXPECT_EQ(mok_scan_result_seam_info(nullptr), nullptr);
  EXPECT_EQ(mok_scan_result_segments(nullptr), nullptr);
  EXPECT_EQ(mok_scan_result_seam_point(nullptr, &pt), MOK_ERR_INVALID_ARGUMENT);

  mok_snapshot_image_free(nullptr);
  EXPECT_EQ(mok_snapshot_image_data(nullptr), nullptr);
  EXPECT_EQ(mok_snapshot_image_data_size(nullptr), 0u);
  EXPECT_EQ(mok_snapshot_image_width(nullptr), 0u);
  EXPECT_EQ(mok_snapshot_image_height(nullptr), 0u);
  EXPECT_EQ(mok_snapshot_image_format(nullptr), -1);

  EXPECT_EQ(mok_version_code(), MOK_VERSION_CODE);
  EXPECT_STREQ(mok_version_str(), MOK_VERSION_STRING);
  const std::string parts = std::to_string(MOK_VERSION_MAJOR) + "." + std::to_string(MOK_VERSION_MINOR) + "." +
                            std::to_string(MOK_VERSION_PATCH);
  EXPECT_EQ(parts, MOK_VERSION_STRING);
}

TEST(CapiConnect, PortWithALeadingPlusConnects) {
  FakeCamera cam;
  std::string address = cam.address();
  address.insert(address.rfind(':') + 1, "+");
  mok_client_t* c = mok_connect(address.c_str());
  ASSERT_NE(c, nullptr) << address;
  ASSERT_EQ(mok_start(c), MOK_OK);
  EXPECT_TRUE(cam.wait_accepted());
  mok_close(c);
}

TEST(CapiConnect, RefusesBadAddresses) {
  for (const char* bad : {"", "   ", "\xC3\x28", "cam\xED\xA0\x80",
                          "\xC0\xAF"
                          "cam",
                          "cam\xF4\x90\x80\x80", "cam\xE2\x82", "::1", "cam:7a", "a:b:c", "cam$bad:7000"}) {
    EXPECT_EQ(mok_connect(bad), nullptr) << bad;
  }
  mok_client_t* ok = mok_connect(" 127.0.0.1:1 ");
  ASSERT_NE(ok, nullptr);
  // Not started: sends fail, getters have nothing.
  uint32_t v = 5;
  EXPECT_EQ(mok_set_exposure_time(ok, 1), MOK_ERR_SEND_FAILED);
  EXPECT_EQ(mok_snapshot(ok, 1, 0, 2), MOK_ERR_SEND_FAILED);
  EXPECT_EQ(mok_get_exposure_time(ok, &v), MOK_ERR_NOT_AVAILABLE);
  mok_close(ok);
}

TEST_F(CapiTest, NullOutPointersAndAbsentValues) {
  EXPECT_EQ(mok_get_exposure_time(h, nullptr), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_laser_enable(h, nullptr), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_cts(h, nullptr), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_pull_rts(h, 0, nullptr), MOK_ERR_INVALID_ARGUMENT);
  uint32_t u32 = 0xAAAA;
  uint64_t u64 = 0xBBBB;
  int32_t i32 = 0xCC;
  EXPECT_EQ(mok_get_exposure_time(h, &u32), MOK_ERR_NOT_AVAILABLE);
  EXPECT_EQ(mok_get_laser_strength(h, &u32), MOK_ERR_NOT_AVAILABLE);
  EXPECT_EQ(mok_get_task_id(h, &u32), MOK_ERR_NOT_AVAILABLE);
  EXPECT_EQ(mok_get_laser_enable(h, &i32), MOK_ERR_NOT_AVAILABLE);
  EXPECT_EQ(mok_get_rts(h, &u64), MOK_ERR_NOT_AVAILABLE);
  EXPECT_EQ(mok_get_cts(h, &u64), MOK_ERR_NOT_AVAILABLE);
  EXPECT_EQ(u32, 0xAAAAu);
  EXPECT_EQ(u64, 0xBBBBu);
  EXPECT_EQ(i32, 0xCC);
  // Absent text wins over a null length pointer.
  EXPECT_EQ(mok_get_board_id(h, nullptr, nullptr), MOK_ERR_NOT_AVAILABLE);
  EXPECT_EQ(mok_get_serial_number(h, nullptr, &u32), MOK_ERR_NOT_AVAILABLE);
  EXPECT_EQ(mok_get_scan_result(h), nullptr);
  EXPECT_EQ(mok_wait_params(h, 0), MOK_ERR_TIMEOUT);
  EXPECT_EQ(mok_wait_params(h, 10), MOK_ERR_TIMEOUT);
  EXPECT_EQ(mok_recv_snapshot_image(h, 0), nullptr);
  EXPECT_EQ(mok_pull_rts(h, 10, &u64), MOK_ERR_SEND_FAILED);
}

TEST_F(CapiTest, FlushedWritesReachTheCameraThoughTheClientClosesAtOnce) {
  EXPECT_EQ(mok_flush(nullptr, 0), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_flush(h, 0), MOK_ERR_SEND_FAILED);  // not connected
  start();
  for (uint32_t i = 1; i <= 20; ++i) ASSERT_EQ(mok_set_task_id(h, i), MOK_OK);
  ASSERT_EQ(mok_flush(h, -1), MOK_OK);
  mok_clear_state_cb(h);
  mok_close(h);
  h = nullptr;
  for (uint32_t i = 1; i <= 20; ++i) ASSERT_TRUE(cam.next_packet()) << i;
}

TEST_F(CapiTest, ParametersRoundTrip) {
  start();
  report(concat({reg_u32(reg::kExposureTime, 5000), reg_u32(reg::kLaserStrength, 80), reg_u32(reg::kTaskId, 3),
                 reg_u32(reg::kLaserEnable, 7), reg_u64(reg::kRts, 99), reg_u64(reg::kCts, 1ULL << 50)}));
  EXPECT_EQ(mok_wait_params(h, -1), MOK_OK);  // already ready: returns at once
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  int32_t i32 = 0;
  EXPECT_EQ(mok_get_exposure_time(h, &u32), MOK_OK);
  EXPECT_EQ(u32, 5000u);
  EXPECT_EQ(mok_get_laser_strength(h, &u32), MOK_OK);
  EXPECT_EQ(u32, 80u);
  EXPECT_EQ(mok_get_task_id(h, &u32), MOK_OK);
  EXPECT_EQ(u32, 3u);
  EXPECT_EQ(mok_get_laser_enable(h, &i32), MOK_OK);
  EXPECT_EQ(i32, 1);
  EXPECT_EQ(mok_get_rts(h, &u64), MOK_OK);
  EXPECT_EQ(u64, 99u);
  EXPECT_EQ(mok_get_cts(h, &u64), MOK_OK);
  EXPECT_EQ(u64, 1ULL << 50);

  // Any non-zero value enables the laser.
  ASSERT_EQ(mok_set_laser_enable(h, -5), MOK_OK);
  auto p = cam.next_packet();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->payload, (Bytes{0, 2, 0x00, 0x1A, 1, 0, 0, 0}));
  ASSERT_EQ(mok_set_rts(h, 0x0102030405060708ULL), MOK_OK);
  p = cam.next_packet();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->payload, (Bytes{0, 4, 0x08, 0x11, 8, 7, 6, 5, 4, 3, 2, 1}));

  EXPECT_EQ(mok_pull_rts(h, 10, &u64), MOK_ERR_TIMEOUT);
  ASSERT_TRUE(cam.next_packet());
}

TEST_F(CapiTest, TextCopyProtocol) {
  start();
  report(concat({reg_text(reg::kBoardId, "BOARD-000123"), reg_text(reg::kSerialNumber, "SN12345")}));
  char buf[32];
  std::memset(buf, '#', sizeof buf);
  uint32_t len = 0;
  EXPECT_EQ(mok_get_board_id(h, nullptr, nullptr), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_board_id(h, nullptr, &len), MOK_OK);  // size query
  EXPECT_EQ(len, 13u);
  len = 12;
  EXPECT_EQ(mok_get_board_id(h, buf, &len), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(len, 13u);
  EXPECT_EQ(buf[0], '#');
  len = 13;
  EXPECT_EQ(mok_get_board_id(h, buf, &len), MOK_OK);
  EXPECT_STREQ(buf, "BOARD-000123");
  EXPECT_EQ(buf[13], '#');

  // The device pads the odd-length serial number with a zero byte; the host
  // still gets the text itself.
  len = 0;
  EXPECT_EQ(mok_get_serial_number(h, nullptr, &len), MOK_OK);
  EXPECT_EQ(len, 8u);
  EXPECT_EQ(mok_get_serial_number(h, buf, &len), MOK_OK);
  EXPECT_STREQ(buf, "SN12345");

  // A zero byte inside the text cannot be represented: nothing is written.
  report(reg_entry(reg::kSerialNumber, Bytes{'A', 'B', 0, 'C'}));
  std::memset(buf, '#', sizeof buf);
  len = 32;
  EXPECT_EQ(mok_get_serial_number(h, buf, &len), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_get_serial_number(h, nullptr, &len), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(len, 32u);
  EXPECT_EQ(buf[0], '#');

  // An empty text needs one byte.
  report(reg_entry(reg::kBoardId, Bytes{}));
  len = 1;
  EXPECT_EQ(mok_get_board_id(h, buf, &len), MOK_OK);
  EXPECT_EQ(len, 1u);
  EXPECT_EQ(buf[0], '\0');
}

TEST_F(CapiTest, ScanResultThroughAccessorsAndRawPointers) {
  ScanSink sink;
  mok_set_scan_cb(h, record_scan, &sink);
  start();

  ScanPayload p(2, true);
  p.offsets(1000, 500)
      .profile_point(0, 1500, 2500)
      .profile_point(1, 600, 1100)
      .u64(36, 0xABCDEF)
      .u16(44, 1)
      .u16(50, 3)
      .i16(52, -150)
      .i16(54, 40)
      .i16(56, -45)
      .seam_point(3, 700, 1200);
  for (std::size_t i = 0; i < 8; ++i) p.u8(90 + i, static_cast<std::uint8_t>(i + 1)).u8(170 + i, 0xEE);
  p.i32(98, -12345).i32(98 + 17 * 4, 250).u32(178, 0xCAFEBABE);
  const std::size_t s5 = ScanPayload::segment_at(5);
  for (std::size_t i = 0; i < 8; ++i) p.u8(s5 + i, static_cast<std::uint8_t>(0x50 + i));
  p.f32(s5 + 8, 0.5f).point(s5 + 12, 1500, 2500).point(s5 + 16, 500, 1000).point(s5 + 20, 0, 0).i32(s5 + 24, -7);
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, p.bytes()));

  mok_scan_result_t* r = nullptr;
  {
    std::unique_lock lock(sink.m);
    ASSERT_TRUE(sink.cv.wait_for(lock, kWait, [&] { return !sink.results.empty(); }));
    r = sink.results[0];
  }
  mok_scan_result_t* latest = mok_get_scan_result(h);
  ASSERT_NE(latest, nullptr);
  ASSERT_NE(latest, r);                                                  // every hand-out is a handle of its own
  EXPECT_EQ(mok_scan_result_points(latest), mok_scan_result_points(r));  // ...to the same record

  EXPECT_EQ(mok_scan_result_point_count(r), 2u);
  EXPECT_EQ(mok_scan_result_pts(r), 0xABCDEFu);
  EXPECT_TRUE(mok_scan_result_seam_found(r));
  EXPECT_EQ(mok_scan_result_seam_point_idx(r), 3u);
  EXPECT_FLOAT_EQ(mok_scan_result_seam_width(r), -1.5f);
  EXPECT_FLOAT_EQ(mok_scan_result_seam_height(r), 0.4f);
  EXPECT_FLOAT_EQ(mok_scan_result_seam_angle(r), -45.0f);

  // Points as raw floats: x, y, z, reserved every 16 bytes.
  const auto* raw = reinterpret_cast<const float*>(mok_scan_result_points(r));
  EXPECT_EQ(raw[0], 0.0f);
  EXPECT_FLOAT_EQ(raw[1], 15.0f);
  EXPECT_FLOAT_EQ(raw[2], 10.0f);
  EXPECT_EQ(raw[3], 0.0f);
  EXPECT_FLOAT_EQ(raw[5], 1.0f);
  EXPECT_FLOAT_EQ(raw[6], 1.0f);

  const mok_scan_point_t* seam = mok_scan_result_seam_points(r);
  EXPECT_FLOAT_EQ(seam[3].y, 2.0f);
  EXPECT_FLOAT_EQ(seam[3].z, 2.0f);
  mok_scan_point_t chosen{};
  ASSERT_EQ(mok_scan_result_seam_point(r, &chosen), MOK_OK);
  EXPECT_EQ(std::memcmp(&chosen, &seam[3], sizeof chosen), 0);
  EXPECT_EQ(mok_scan_result_seam_point(r, nullptr), MOK_ERR_INVALID_ARGUMENT);

  // The seam-info block byte by byte.
  const auto* info = reinterpret_cast<const std::uint8_t*>(mok_scan_result_seam_info(r));
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(info[i], i + 1);
    EXPECT_EQ(info[80 + i], 0xEE);
  }
  float f;
  std::memcpy(&f, info + 8, 4);
  EXPECT_FLOAT_EQ(f, -123.45f);
  std::memcpy(&f, info + 8 + 17 * 4, 4);
  EXPECT_FLOAT_EQ(f, 2.5f);
  std::uint32_t word;
  std::memcpy(&word, info + 88, 4);
  EXPECT_EQ(word, 0xCAFEBABEu);
  std::memcpy(&word, info + 92, 4);
  EXPECT_EQ(word, 0u);

  // Segment 5 at byte 5 * 64 of the table; the others all zero.
  const auto* segs = reinterpret_cast<const std::uint8_t*>(mok_scan_result_segments(r));
  const std::uint8_t* s = segs + 5 * 64;
  EXPECT_EQ(s[0], 0x50);
  EXPECT_EQ(s[7], 0x57);
  std::memcpy(&f, s + 8, 4);
  EXPECT_EQ(f, 0.5f);
  std::memcpy(&f, s + 12 + 4, 4);  // A.y
  EXPECT_FLOAT_EQ(f, 15.0f);
  std::memcpy(&f, s + 28 + 8, 4);  // B.z
  EXPECT_FLOAT_EQ(f, 0.0f);
  std::memcpy(&f, s + 44 + 4, 4);  // C.y: scaled even when zero
  EXPECT_FLOAT_EQ(f, -10.0f);
  std::int32_t type;
  std::memcpy(&type, s + 60, 4);
  EXPECT_EQ(type, -7);
  for (std::size_t k = 0; k < 32; ++k) {
    if (k == 5) continue;
    for (std::size_t i = 0; i < 64; ++i) ASSERT_EQ(segs[k * 64 + i], 0) << k << ":" << i;
  }

  // The handle outlives its client, and a cleared callback is not called.
  mok_set_scan_cb(h, nullptr, &sink);
  ScanPayload none;  // no seam, index 8, no points
  none.u16(50, 8);
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, none.bytes()));
  ASSERT_TRUE(eventually([&] {
    mok_scan_result_t* l = mok_get_scan_result(h);
    const bool newer = l && mok_scan_result_pts(l) == 0;
    mok_scan_result_free(l);
    return newer;
  }));
  mok_scan_result_t* second = mok_get_scan_result(h);
  EXPECT_EQ(mok_scan_result_points(second), nullptr);
  EXPECT_EQ(mok_scan_result_seam_point(second, &chosen), MOK_ERR_INVALID_ARGUMENT);
  mok_scan_result_free(second);
  {
    std::lock_guard lock(sink.m);
    EXPECT_EQ(sink.results.size(), 1u);
  }
  mok_clear_state_cb(h);
  mok_close(h);
  h = mok_connect(cam.address().c_str());  // TearDown closes this one
  EXPECT_FLOAT_EQ(mok_scan_result_points(r)[0].y, 15.0f);
  mok_scan_result_free(latest);
  mok_scan_result_free(r);
}

TEST_F(CapiTest, SeamPointNeedsFoundSeamAndValidIndex) {
  start();
  ScanPayload p;
  p.u16(44, 0).u16(50, 2);  // valid index, no seam
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, p.bytes()));
  ASSERT_TRUE(eventually([&] {
    mok_scan_result_t* l = mok_get_scan_result(h);
    mok_scan_result_free(l);
    return l != nullptr;
  }));
  mok_scan_result_t* r = mok_get_scan_result(h);
  mok_scan_point_t out{1, 2, 3, 4};
  EXPECT_EQ(mok_scan_result_seam_point(r, &out), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(out.x, 1.0f);
  mok_scan_result_free(r);
}

TEST_F(CapiTest, SnapshotRequestAndImages) {
  start();
  ASSERT_EQ(mok_snapshot(h, -1, 5, 20), MOK_OK);
  auto req = cam.next_packet();
  ASSERT_TRUE(req);
  EXPECT_EQ(req->stream_id, wire::stream::kSnapshotRequest);
  EXPECT_EQ(req->kind, kKindFlexRegs);
  EXPECT_EQ(req->payload, (Bytes{0, 2, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 2, 2, 0, 20, 0, 0, 0, 0,  2, 3, 0,
                                 1, 0, 0, 0, 0,    2,    4,    0,    1, 0, 0, 0, 0,  2, 5, 0, 50, 0, 0, 0}));

  report(concat({reg_u32(reg::kImageWidth, 4), reg_u32(reg::kImageHeight, 2)}));
  const Bytes raw{10, 11, 12, 13, 14, 15, 16, 17};
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kSnapshotImage, raw));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kSnapshotImage, Bytes{0xFF, 0xD8, 0xFF, 0xE0}));
  mok_snapshot_image_t* a = mok_recv_snapshot_image(h, 5000);
  mok_snapshot_image_t* b = mok_recv_snapshot_image(h, 5000);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(mok_snapshot_image_format(a), MOK_IMAGE_RAW);
  EXPECT_EQ(mok_snapshot_image_width(a), 4u);
  EXPECT_EQ(mok_snapshot_image_height(a), 2u);
  ASSERT_EQ(mok_snapshot_image_data_size(a), raw.size());
  EXPECT_EQ(std::memcmp(mok_snapshot_image_data(a), raw.data(), raw.size()), 0);
  EXPECT_EQ(mok_snapshot_image_format(b), MOK_IMAGE_JPEG);
  EXPECT_EQ(mok_snapshot_image_width(b), 0u);
  EXPECT_EQ(mok_recv_snapshot_image(h, 0), nullptr);
  mok_snapshot_image_free(a);
  mok_snapshot_image_free(b);
}

// Scan callbacks ('S') and burst ends ('E') in the order they ran.
struct BurstLog {
  std::mutex m;
  std::string events;
  void add(char c) {
    std::lock_guard lock(m);
    events += c;
  }
  std::string get() {
    std::lock_guard lock(m);
    return events;
  }
};

TEST_F(CapiTest, BurstEndFollowsTheResultsOfOneReadAndOnlyResults) {
  BurstLog log;
  mok_set_scan_cb(
      h,
      [](mok_scan_result_t* r, void* user) {
        mok_scan_result_free(r);
        static_cast<BurstLog*>(user)->add('S');
      },
      &log);
  mok_set_scan_burst_end_cb(
      h, [](void* user) { static_cast<BurstLog*>(user)->add('E'); }, &log);
  start();
  ScanPayload p(2, true);
  const Bytes one = encode_wire(kKindData, wire::stream::kScan, p.bytes(), 0, 1);
  Bytes five;
  for (int i = 0; i < 5; ++i) five.insert(five.end(), one.begin(), one.end());
  ASSERT_TRUE(cam.send_raw(five));
  ASSERT_TRUE(eventually([&] { return log.get().size() >= 6 && log.get().back() == 'E'; }));
  const std::string seen = log.get();
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 'S'), 5);
  EXPECT_EQ(seen.front(), 'S');
  EXPECT_EQ(seen.find("EE"), std::string::npos);  // each burst end after a result

  // A register report is no scan result: no burst end for it.
  report(reg_u32(reg::kTaskId, 3));
  ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, p.bytes()));
  ASSERT_TRUE(eventually([&] { return log.get().size() == seen.size() + 2; }));
  EXPECT_EQ(log.get().substr(seen.size()), "SE");
  mok_set_scan_burst_end_cb(h, nullptr, nullptr);
  mok_set_scan_burst_end_cb(nullptr, nullptr, nullptr);
}

TEST_F(CapiTest, StateCallbackCarriesUserDataAndClears) {
  start();
  StateLog other;
  mok_set_state_cb(h, record_state, &other);
  cam.drop_connection();
  ASSERT_TRUE(other.wait_for(MOK_STATE_DISCONNECTED));
  mok_set_state_cb(h, nullptr, &other);  // clears
  ASSERT_EQ(mok_stop(h), MOK_OK);
  mok_set_state_cb(h, record_state, &states);
  const auto seen = other.snapshot();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), MOK_STATE_DISCONNECTED);
}

TEST_F(CapiTest, ScanQueueHandsOutBatchesCountsDropsAndWakesOnClose) {
  mok_scan_result_t* out[4] = {};
  uint32_t n = 9;
  EXPECT_EQ(mok_scan_queue_pop(h, out, 4, 0, &n), MOK_ERR_NOT_AVAILABLE);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(mok_scan_queue_enable(h, MOK_SCAN_QUEUE_MAX_CAPACITY + 1), MOK_ERR_INVALID_ARGUMENT);
  ASSERT_EQ(mok_scan_queue_enable(h, 3), MOK_OK);
  start();
  for (std::uint64_t pts = 1; pts <= 5; ++pts) {
    ScanPayload p(1, false);
    ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, p.u64(36, pts).bytes()));
  }
  // A result is counted as received before the queue takes it: wait for both.
  ASSERT_TRUE(eventually([&] {
    const mok_stats_t now = stats_of(h);
    return now.scan_results == 5 && now.scan_queue_dropped + now.scan_queue_depth == 5;
  }));
  const mok_stats_t s = stats_of(h);
  EXPECT_EQ(s.scan_queue_dropped, 2u);
  EXPECT_EQ(s.scan_queue_depth, 3u);
  ASSERT_EQ(mok_scan_queue_pop(h, out, 4, 0, &n), MOK_OK);
  ASSERT_EQ(n, 3u);
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(mok_scan_result_pts(out[i]), 3u + i);  // the newest kept, oldest first
    mok_scan_result_free(out[i]);
  }
  EXPECT_EQ(mok_scan_queue_pop(h, out, 4, 20, &n), MOK_ERR_TIMEOUT);

  // A pop waiting without limit returns once the client is closed.
  std::atomic<int32_t> status{1};
  std::thread waiter([&] {
    mok_scan_result_t* one[1];
    uint32_t got = 0;
    status = mok_scan_queue_pop(h, one, 1, UINT64_MAX, &got);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(status.load(), 1);
  mok_clear_state_cb(h);
  mok_close(h);
  h = nullptr;
  waiter.join();
  EXPECT_EQ(status.load(), MOK_ERR_CLOSED);
}

TEST_F(CapiTest, ScanQueuePopIntoCopiesRecordsAndPointsAndKeepsWhatDoesNotFit) {
  ASSERT_EQ(mok_scan_queue_enable(h, 8), MOK_OK);
  start();
  ScanPayload a(2, true);  // a seam at seam point 3
  a.offsets(1000, 500)
      .profile_point(0, 1500, 2500)
      .profile_point(1, 600, 1100)
      .u64(36, 1)
      .u16(44, 1)
      .u16(50, 3)
      .i16(52, -150)
      .i16(54, 40)
      .i16(56, -45)
      .seam_point(3, 700, 1200);
  ScanPayload b(3, true);  // no seam
  b.offsets(1000, 500).profile_point(2, 1500, 2500).u64(36, 2);
  for (auto* p : {&a, &b, &a}) {
    ASSERT_TRUE(cam.send(kKindData, wire::stream::kScan, p->bytes()));
  }
  ASSERT_TRUE(eventually([&] { return stats_of(h).scan_queue_depth == 3; }));

  mok_scan_record_t rec[4] = {};
  mok_scan_point_t pts[8] = {};
  uint32_t n = 9;
  uint64_t used = 9;
  // Room for 4 points: a fits, b (3 more) waits for the next call.
  ASSERT_EQ(mok_scan_queue_pop_into(h, rec, 4, pts, 4, 0, &n, &used), MOK_OK);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(used, 2u);
  EXPECT_EQ(rec[0].pts, 1u);
  EXPECT_EQ(rec[0].point_offset, 0u);
  EXPECT_EQ(rec[0].point_count, 2u);
  EXPECT_EQ(rec[0].seam_found, 1u);
  EXPECT_EQ(rec[0].seam_point_idx, 3u);
  EXPECT_FLOAT_EQ(rec[0].seam_point.y, 2.0f);
  EXPECT_FLOAT_EQ(rec[0].seam_width, -1.5f);
  EXPECT_FLOAT_EQ(rec[0].seam_height, 0.4f);
  EXPECT_FLOAT_EQ(rec[0].seam_angle, -45.0f);
  EXPECT_FLOAT_EQ(pts[0].y, 15.0f);
  EXPECT_FLOAT_EQ(pts[0].z, 10.0f);
  EXPECT_FLOAT_EQ(pts[1].y, 1.0f);

  // b alone is larger than the buffer: nothing taken, its size reported.
  EXPECT_EQ(mok_scan_queue_pop_into(h, rec, 4, pts, 2, 0, &n, &used), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(used, 3u);

  ASSERT_EQ(mok_scan_queue_pop_into(h, rec, 4, pts, 8, 0, &n, &used), MOK_OK);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(used, 5u);
  EXPECT_EQ(rec[0].pts, 2u);
  EXPECT_EQ(rec[0].point_count, 3u);
  EXPECT_EQ(rec[0].seam_found, 0u);
  EXPECT_TRUE(std::isnan(rec[0].seam_point.y));
  EXPECT_FLOAT_EQ(pts[2].y, 15.0f);  // b's last point
  EXPECT_EQ(rec[1].pts, 1u);
  EXPECT_EQ(rec[1].point_offset, 3u);
  EXPECT_FLOAT_EQ(pts[3].y, 15.0f);  // the second a's first point
  EXPECT_EQ(mok_scan_queue_pop_into(h, rec, 4, pts, 8, 20, &n, &used), MOK_ERR_TIMEOUT);
  EXPECT_EQ(mok_scan_queue_pop_into(h, rec, 4, nullptr, 8, 0, &n, &used), MOK_ERR_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace mok::test
