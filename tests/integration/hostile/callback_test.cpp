// Blocking waits called inside callbacks: what they wait for can only be
// read once the callback returns, so they refuse at once with their own
// status instead of holding a runtime worker; calls that do not wait keep
// working there.
#include <atomic>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "mok/mok.h"
#include "support/eventually.hpp"
#include "support/fake_camera.hpp"
#include "support/scan_payload.hpp"
#include "support/scripted_peer.hpp"

namespace {

using mok::test::eventually;

struct Seen {
  mok_client_t* h = nullptr;
  std::atomic<int32_t> wait_params{1};
  std::atomic<int32_t> wait_params_no_wait{1};
  std::atomic<int32_t> getter{1};
  std::atomic<int32_t> pull_rts{1};
  std::atomic<int> image{-1};
  std::atomic<bool> scanned{false};
};

void on_state(uint32_t state, void* user) {
  auto& seen = *static_cast<Seen*>(user);
  if (state != MOK_STATE_CONNECTED) return;
  uint32_t v = 0;
  seen.wait_params_no_wait = mok_wait_params(seen.h, 0);
  seen.getter = mok_get_exposure_time(seen.h, &v);
  seen.wait_params = mok_wait_params(seen.h, -1);
}

void on_scan(mok_scan_result_t* result, void* user) {
  auto& seen = *static_cast<Seen*>(user);
  mok_scan_result_free(result);
  uint64_t rts = 0;
  seen.pull_rts = mok_pull_rts(seen.h, 1000, &rts);
  mok_snapshot_image_t* image = mok_recv_snapshot_image(seen.h, UINT64_MAX);
  seen.image = image != nullptr ? 1 : 0;
  mok_snapshot_image_free(image);
  seen.scanned = true;
}

TEST(HostileCallbacks, BlockingWaitsRefuseAtOnceAndOthersStillWork) {
  mok::test::FakeCamera cam;
  Seen seen;
  seen.h = mok_connect(cam.address().c_str());
  ASSERT_NE(seen.h, nullptr);
  mok_set_state_cb(seen.h, on_state, &seen);
  mok_set_scan_cb(seen.h, on_scan, &seen);
  ASSERT_EQ(mok_start(seen.h), MOK_OK);
  ASSERT_TRUE(cam.wait_accepted());
  ASSERT_TRUE(eventually([&] { return seen.wait_params.load() != 1; }));
  EXPECT_EQ(seen.wait_params.load(), MOK_ERR_IN_CALLBACK);
  EXPECT_EQ(seen.wait_params_no_wait.load(), MOK_ERR_TIMEOUT);
  EXPECT_EQ(seen.getter.load(), MOK_ERR_NOT_AVAILABLE);

  ASSERT_TRUE(cam.send(mok::test::kKindData, wire::stream::kScan, mok::test::ScanPayload(4).bytes()));
  ASSERT_TRUE(eventually([&] { return seen.scanned.load(); }));
  EXPECT_EQ(seen.pull_rts.load(), MOK_ERR_IN_CALLBACK);
  EXPECT_EQ(seen.image.load(), 0);
  char why[128];
  uint32_t len = sizeof why;
  ASSERT_EQ(mok_get_last_error(seen.h, why, &len), MOK_OK);
  EXPECT_NE(std::string(why).find("inside a callback"), std::string::npos) << why;
  // Refused before anything was sent: the camera sees no RTS request.
  EXPECT_FALSE(cam.next_packet(std::chrono::milliseconds(100)).has_value());

  mok_clear_scan_cb(seen.h);
  mok_clear_state_cb(seen.h);
  mok_close(seen.h);
}

}  // namespace
