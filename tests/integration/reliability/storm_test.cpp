// Reconnect storms: a thousand connect/drop cycles through each C interface
// against a loopback peer. Afterwards the process holds as many descriptors
// and threads as before, every connection wound down with TERMINATED as its
// last word, and no callback reached a host after the point the headers
// promise silence.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "mok/mok.h"
#include "mok/mok_fxt.h"
#include "support/eventually.hpp"
#include "support/fake_camera.hpp"
#include "support/process_figures.hpp"
#include "support/scan_payload.hpp"
#include "support/scripted_peer.hpp"

namespace mok::reliability {
namespace {

using test::open_fds;
using test::ScriptedPeer;
using test::thread_count;

using mok::test::eventually;

constexpr int kCycles = 1000;

// ---- Transport: the callbacks carry no user data, so one recorder serves
// every connection; cycles run one after another so each state belongs to
// the connection of the current cycle.
struct TransportLog {
  std::mutex m;
  std::condition_variable cv;
  std::vector<uint32_t> states;
  std::atomic<uint64_t> calls{0};
} g_fxt;

void fxt_on_packet(mok_fxt_packet_t*) { g_fxt.calls.fetch_add(1); }
void fxt_on_state(uint32_t state) {
  g_fxt.calls.fetch_add(1);
  std::lock_guard lock(g_fxt.m);
  g_fxt.states.push_back(state);
  g_fxt.cv.notify_all();
}

bool fxt_wait_state(uint32_t state, size_t from = 0) {
  std::unique_lock lock(g_fxt.m);
  return g_fxt.cv.wait_for(lock, test::kEventually, [&] {
    return std::find(g_fxt.states.begin() + static_cast<long>(std::min(from, g_fxt.states.size())),
                     g_fxt.states.end(), state) != g_fxt.states.end();
  });
}

std::vector<uint32_t> fxt_take_states() {
  std::lock_guard lock(g_fxt.m);
  return std::exchange(g_fxt.states, {});
}

// One cycle's states: CONNECTED first, TERMINATED once and last, after one
// SHUTTING_DOWN.
::testing::AssertionResult wound_down_in_order(const std::vector<uint32_t>& s) {
  auto text = [&] {
    std::string t;
    for (uint32_t v : s) t += std::to_string(v) + " ";
    return t;
  };
  if (s.empty() || s.front() != MOK_FXT_STATE_CONNECTED)
    return ::testing::AssertionFailure() << "does not start with CONNECTED: " << text();
  if (s.back() != MOK_FXT_STATE_TERMINATED || std::count(s.begin(), s.end(), MOK_FXT_STATE_TERMINATED) != 1)
    return ::testing::AssertionFailure() << "TERMINATED is not once and last: " << text();
  if (std::count(s.begin(), s.end(), MOK_FXT_STATE_SHUTTING_DOWN) != 1)
    return ::testing::AssertionFailure() << "SHUTTING_DOWN is not reported once: " << text();
  return ::testing::AssertionSuccess();
}

// Connects, optionally lets the peer drop the connection first, releases.
void transport_cycle(ScriptedPeer& peer, int i) {
  mok_fxt_conn_t* conn = mok_fxt_connect(peer.address().c_str(), fxt_on_packet, fxt_on_state);
  ASSERT_NE(conn, nullptr) << "cycle " << i;
  ASSERT_TRUE(fxt_wait_state(MOK_FXT_STATE_CONNECTED)) << "cycle " << i;
  // CONNECTED can be reported before the peer's accept.
  ASSERT_TRUE(peer.wait_accepted(static_cast<size_t>(i) + 1)) << "cycle " << i;
  if (i % 2 == 1) {
    // The peer goes away; the connection is released while it waits to reconnect.
    peer.drop_all();
    ASSERT_TRUE(fxt_wait_state(MOK_FXT_STATE_DISCONNECTED)) << "cycle " << i;
  }
  if (i % 3 == 0) {
    mok_fxt_disconnect(conn);
  } else {
    mok_fxt_conn_free(conn);
  }
  ASSERT_TRUE(fxt_wait_state(MOK_FXT_STATE_TERMINATED)) << "cycle " << i;
  const auto states = fxt_take_states();
  ASSERT_TRUE(wound_down_in_order(states)) << "cycle " << i;
}

bool settled(ScriptedPeer& peer, size_t fds, size_t threads) {
  return eventually(
      [&] { return peer.open_connections() == 0 && open_fds() <= fds && thread_count() <= threads; });
}

TEST(ReconnectStorm, TransportConnectDropCyclesLeaveNothingBehind) {
  ScriptedPeer peer;
  // The first connection creates the library's runtime, which lives on.
  transport_cycle(peer, 0);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(eventually([&] { return peer.open_connections() == 0; }));
  const size_t fds = open_fds();
  const size_t threads = thread_count();

  for (int i = 1; i <= kCycles; ++i) {
    transport_cycle(peer, i);
    if (HasFatalFailure()) return;
  }
  EXPECT_GE(peer.accepted(), size_t{kCycles + 1});

  EXPECT_TRUE(settled(peer, fds, threads))
      << "fds " << open_fds() << " (was " << fds << "), threads " << thread_count() << " (was " << threads
      << "), peer connections " << peer.open_connections();
  // Nothing spoke after the last TERMINATED.
  const uint64_t calls = g_fxt.calls.load();
  ASSERT_TRUE(settled(peer, fds, threads));
  EXPECT_EQ(g_fxt.calls.load(), calls);
  EXPECT_TRUE(fxt_take_states().empty());
}

// ---- Device interface: each cycle has its own context as user data.
struct DeviceCtx {
  std::mutex m;
  std::condition_variable cv;
  std::vector<uint32_t> states;
  std::atomic<int> scans{0};
  // Set once the host cleared both callbacks: from then on any call is a fault.
  std::atomic<bool> cleared{false};
  std::atomic<int> late_calls{0};

  bool wait_state(uint32_t s) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, test::kEventually,
                       [&] { return std::find(states.begin(), states.end(), s) != states.end(); });
  }
  std::vector<uint32_t> snapshot() {
    std::lock_guard lock(m);
    return states;
  }
};

void dev_on_state(uint32_t state, void* user) {
  auto* ctx = static_cast<DeviceCtx*>(user);
  if (ctx->cleared.load()) ctx->late_calls.fetch_add(1);
  std::lock_guard lock(ctx->m);
  ctx->states.push_back(state);
  ctx->cv.notify_all();
}

void dev_on_scan(mok_scan_result_t* result, void* user) {
  auto* ctx = static_cast<DeviceCtx*>(user);
  if (ctx->cleared.load()) ctx->late_calls.fetch_add(1);
  mok_scan_result_free(result);
  ctx->scans.fetch_add(1);
  ctx->cv.notify_all();
}

std::vector<uint8_t> scan_packet() {
  test::ScanPayload p(3);
  return test::encode_wire(test::kKindData, wire::stream::kScan, p.bytes(), 0, 1);
}

// One cycle; the contexts outlive the clients (a client closed without
// clearing may still call back while it winds down).
void device_cycle(ScriptedPeer& peer, int i, std::deque<DeviceCtx>& ctxs) {
  DeviceCtx& ctx = ctxs.emplace_back();
  mok_client_t* client = mok_connect(peer.address().c_str());
  ASSERT_NE(client, nullptr) << "cycle " << i;
  mok_set_state_cb(client, dev_on_state, &ctx);
  mok_set_scan_cb(client, dev_on_scan, &ctx);
  ASSERT_EQ(mok_start(client), MOK_OK);
  ASSERT_TRUE(ctx.wait_state(MOK_STATE_CONNECTED)) << "cycle " << i;
  ASSERT_TRUE(peer.wait_accepted(static_cast<size_t>(i))) << "cycle " << i;
  if (i % 10 == 0) {
    ASSERT_TRUE(peer.send(scan_packet()));
    std::unique_lock lock(ctx.m);
    ASSERT_TRUE(ctx.cv.wait_for(lock, test::kEventually, [&] { return ctx.scans.load() == 1; })) << "cycle " << i;
  }
  if (i % 4 == 1) {
    peer.drop_all();
    ASSERT_TRUE(ctx.wait_state(MOK_STATE_DISCONNECTED)) << "cycle " << i;
  }
  if (i % 2 == 0) {
    // The documented way to silence a client before releasing user data.
    mok_clear_scan_cb(client);
    mok_set_state_cb(client, nullptr, nullptr);
    ctx.cleared = true;
  }
  mok_close(client);
}

TEST(ReconnectStorm, DeviceConnectCloseCyclesWithCallbacksLeaveNothingBehind) {
  ScriptedPeer peer;
  std::deque<DeviceCtx> ctxs;
  device_cycle(peer, 1, ctxs);  // creates the library's runtime
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(eventually([&] {
    return peer.open_connections() == 0 && !ctxs.back().snapshot().empty() &&
           ctxs.back().snapshot().back() == MOK_STATE_TERMINATED;
  }));
  const size_t fds = open_fds();
  const size_t threads = thread_count();

  for (int i = 2; i <= kCycles + 1; ++i) {
    device_cycle(peer, i, ctxs);
    if (HasFatalFailure()) return;
  }

  EXPECT_TRUE(settled(peer, fds, threads))
      << "fds " << open_fds() << " (was " << fds << "), threads " << thread_count() << " (was " << threads
      << "), peer connections " << peer.open_connections();

  int late = 0;
  int scans = 0;
  for (size_t k = 0; k < ctxs.size(); ++k) {
    DeviceCtx& ctx = ctxs[k];
    late += ctx.late_calls.load();
    scans += ctx.scans.load();
    if (ctx.cleared) continue;
    // Closed without clearing: the client may speak until it has wound down,
    // and its last word is TERMINATED.
    ASSERT_TRUE(eventually([&] {
      auto s = ctx.snapshot();
      return !s.empty() && s.back() == MOK_STATE_TERMINATED;
    })) << "context "
        << k;
  }
  EXPECT_EQ(late, 0) << "callbacks after they were cleared";
  EXPECT_EQ(scans, (kCycles + 1) / 10) << "each scan sent arrives once";
}

}  // namespace
}  // namespace mok::reliability
