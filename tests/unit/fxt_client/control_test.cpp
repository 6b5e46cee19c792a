// Control's defaults, activity clock and durations; the connector's timing
// options; the runtime's workers.
#include "fxt/client/control.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "common/clock.hpp"
#include "common/runtime.hpp"
#include "fxt/client/options.hpp"
#include "support/eventually.hpp"

namespace mok::fxt::client {
namespace {

using namespace std::chrono_literals;

TEST(Control, StartsIdle) {
  Control c;
  EXPECT_FALSE(c.is_started());
  EXPECT_FALSE(c.is_stopped());
  EXPECT_FALSE(c.is_connected());
  EXPECT_FALSE(c.is_force_exit());
  EXPECT_FALSE(c.is_shutdown_requested());
  EXPECT_TRUE(c.is_auto_reconnect());
}

TEST(ConnectorOptions, DefaultsAreTheProtocolTimings) {
  const ConnectorOptions o;
  EXPECT_EQ(o.reconnect_delay, 5s);
  EXPECT_EQ(o.connect_timeout, 10s);
  EXPECT_EQ(o.inactivity_timeout, 10s);
  EXPECT_EQ(o.write_timeout, 10s);
  EXPECT_TRUE(check(o).ok());
}

TEST(ConnectorOptions, EachTimingIsCheckedAgainstItsBounds) {
  ConnectorOptions o;
  o.inactivity_timeout = 99ms;
  ASSERT_FALSE(check(o).ok());
  EXPECT_EQ(check(o).error(), "inactivity time-out 99 ms is outside 100..86400000 ms");
  o.inactivity_timeout = 100ms;
  o.reconnect_delay = 10ms;
  o.connect_timeout = 10ms;
  o.write_timeout = 10ms;
  EXPECT_TRUE(check(o).ok());
  o.write_timeout = ConnectorOptions::kMax + 1ms;
  EXPECT_FALSE(check(o).ok());
  o.write_timeout = 10ms;
  o.reconnect_delay = 9ms;
  EXPECT_FALSE(check(o).ok());
}

TEST(Runtime, RunsPostedWorkOnItsOwnWorkers) {
  auto rt = Runtime::create("mok-unit", 2);
  ASSERT_NE(rt, nullptr);
  EXPECT_EQ(rt->workers(), 2u);
  EXPECT_FALSE(rt->in_worker());
  std::mutex m;
  std::condition_variable cv;
  int done = 0;
  bool on_worker = true;
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(rt->post([&] {
      std::lock_guard g(m);
      on_worker = on_worker && rt->in_worker();
      ++done;
      cv.notify_all();
    }));
  }
  std::unique_lock g(m);
  ASSERT_TRUE(cv.wait_for(g, 5s, [&] { return done == 10; }));
  EXPECT_TRUE(on_worker);
}

TEST(Runtime, WorkerSurvivesAThrowingHandler) {
  auto rt = Runtime::create("mok-unit", 1);
  ASSERT_NE(rt, nullptr);
  std::atomic<bool> ran{false};
  ASSERT_TRUE(rt->post([] { throw std::runtime_error("boom"); }));
  ASSERT_TRUE(rt->post([&] { ran = true; }));
  EXPECT_TRUE(mok::test::eventually([&] { return ran.load(); }));
}

TEST(Runtime, ProcessRuntimeIsCreatedOnce) {
  static constinit ProcessRuntime shared("mok-unit-pw");
  Runtime* a = shared.get();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(shared.get(), a);
  EXPECT_GE(a->workers(), 1u);
}

}  // namespace
}  // namespace mok::fxt::client
