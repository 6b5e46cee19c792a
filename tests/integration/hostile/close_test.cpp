// A host that closes a client while other threads still use it: waiters are
// woken with a status of their own, calls in flight finish on live state,
// and no runtime worker is left stuck, so later clients still connect.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mok/mok.h"
#include "support/eventually.hpp"
#include "support/fake_camera.hpp"
#include "support/scripted_peer.hpp"

namespace {

using mok::test::eventually;
using mok::test::ScriptedPeer;

// Runs `fn` on a thread of its own and hands its result over a future; the
// thread is detached, so a waiter that never returns fails the test instead
// of hanging it.
template <class Fn>
auto on_thread(Fn fn) {
  using R = decltype(fn());
  auto done = std::make_shared<std::promise<R>>();
  auto result = done->get_future();
  std::thread([done, fn] { done->set_value(fn()); }).detach();
  return result;
}

void on_state(uint32_t state, void* user) {
  if (state == MOK_STATE_CONNECTED) static_cast<std::atomic<int>*>(user)->fetch_add(1);
}

TEST(HostileClose, WakesEveryWaiterWithClosedAndLeavesWorkersFree) {
  mok::test::FakeCamera cam;
  std::atomic<int> connected{0};
  mok_client_t* h = mok_connect(cam.address().c_str());
  ASSERT_NE(h, nullptr);
  mok_set_state_cb(h, on_state, &connected);
  ASSERT_EQ(mok_start(h), MOK_OK);
  ASSERT_TRUE(eventually([&] { return connected.load() == 1; }));

  // The camera never reports registers or images, so each waits until close.
  auto params = on_thread([h] { return mok_wait_params(h, INT32_MAX); });
  auto rts = on_thread([h] {
    uint64_t v = 0;
    return mok_pull_rts(h, INT32_MAX, &v);
  });
  auto image = on_thread([h] { return mok_recv_snapshot_image(h, UINT64_MAX) != nullptr; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let them settle into their waits
  mok_clear_state_cb(h);
  mok_close(h);

  ASSERT_EQ(params.wait_for(mok::test::kWait), std::future_status::ready);
  ASSERT_EQ(rts.wait_for(mok::test::kWait), std::future_status::ready);
  ASSERT_EQ(image.wait_for(mok::test::kWait), std::future_status::ready);
  EXPECT_EQ(params.get(), MOK_ERR_CLOSED);
  EXPECT_EQ(rts.get(), MOK_ERR_CLOSED);
  EXPECT_FALSE(image.get());

  // The runtime's workers are all free: a new client still connects.
  mok_client_t* again = mok_connect(cam.address().c_str());
  ASSERT_NE(again, nullptr);
  mok_set_state_cb(again, on_state, &connected);
  ASSERT_EQ(mok_start(again), MOK_OK);
  EXPECT_TRUE(eventually([&] { return connected.load() == 2; }));
  mok_clear_state_cb(again);
  mok_close(again);
}

// Pollers call getters and the statistics as fast as they can while the
// host closes; under AddressSanitizer any use of freed state is reported.
TEST(HostileClose, CallsRacingCloseFinishOnLiveState) {
  ScriptedPeer peer;
  for (int round = 0; round < 100; ++round) {
    mok_client_t* h = mok_connect(peer.address().c_str());
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(mok_start(h), MOK_OK);
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::vector<std::thread> pollers;
    for (int t = 0; t < 2; ++t) {
      pollers.emplace_back([&] {
        mok_stats_t s{};
        uint32_t v = 0;
        while (!stop.load()) {
          const int32_t rc = mok_get_stats(h, &s, sizeof s);
          EXPECT_TRUE(rc == MOK_OK || rc == MOK_ERR_CLOSED) << rc;
          (void)mok_get_exposure_time(h, &v);
          mok_scan_result_free(mok_get_scan_result(h));
          calls.fetch_add(1);
        }
      });
    }
    ASSERT_TRUE(eventually([&] { return calls.load() > 20; }));
    mok_close(h);
    stop.store(true);
    for (auto& t : pollers) t.join();
  }
}

}  // namespace
