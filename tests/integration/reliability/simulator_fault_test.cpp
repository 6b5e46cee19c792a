// The simulator's own fault modes against the device interface: a camera
// that drops every connection after a while, one that sends a corrupt head,
// and one that stops sending but keeps reading (half close). Each client
// reconnects by itself and scan results flow again, in order within every
// connection.
#if defined(MOK_HAVE_CAMSIM)
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "mok/mok.h"
#include "sim/simulator.hpp"
#include "support/device_stats.hpp"

namespace mok::reliability {
namespace {

// Connections and scan results. The state callback may overlap the scan
// callback, so results are not told apart by connection; instead, results
// in order on each connection step back at most once per reconnect.
struct Recorder {
  std::mutex m;
  std::condition_variable cv;
  size_t connections = 0;
  size_t scans_after_reconnect = 0;
  size_t steps_back = 0;
  uint64_t last_pts = 0;
};

void on_state(uint32_t state, void* user) {
  auto* r = static_cast<Recorder*>(user);
  std::lock_guard lock(r->m);
  if (state == MOK_STATE_CONNECTED) ++r->connections;
  r->cv.notify_all();
}

void on_scan(mok_scan_result_t* result, void* user) {
  auto* r = static_cast<Recorder*>(user);
  const uint64_t pts = mok_scan_result_pts(result);
  mok_scan_result_free(result);
  std::lock_guard lock(r->m);
  if (pts <= r->last_pts) ++r->steps_back;
  r->last_pts = pts;
  if (r->connections >= 2) ++r->scans_after_reconnect;
  r->cv.notify_all();
}

struct Case {
  const char* name;
  camsim::Faults faults;
  // The disconnect counters that may account for this fault's losses; at
  // least one loss must land in them. A close from the simulator that cuts
  // a packet it was writing is still the peer's close.
  std::vector<uint64_t mok_stats_t::*> causes;
  const char* text;  // the last failure it leaves, when the simulator decides it alone
};

using test::disconnects_total;

// Timing decides how many losses there were, so the figures are bounded:
// every loss has a cause, and the cause is one the fault can produce.
void expect_counted(mok_client_t* client, const Case& c) {
  mok_stats_t s{};
  ASSERT_EQ(mok_get_stats(client, &s, sizeof s), MOK_OK);
  // The disconnects were read before the connections, so they cannot be
  // ahead of them; at most the current connection is still open.
  const uint64_t lost = disconnects_total(s);
  EXPECT_GE(s.connections_established, 2u) << c.name;
  EXPECT_LE(lost, s.connections_established) << c.name;
  EXPECT_GE(lost + 1, s.connections_established) << c.name;
  EXPECT_GE(s.connect_attempts, s.connections_established) << c.name;
  uint64_t by_cause = 0;
  for (auto field : c.causes) by_cause += s.*field;
  EXPECT_GE(by_cause, 1u) << c.name;
  EXPECT_EQ(by_cause, lost) << c.name;
  EXPECT_EQ(s.scan_results_rejected, 0u) << c.name;
  EXPECT_GT(s.scan_results, 0u) << c.name;
  if (c.text != nullptr) {
    char text[128] = {};
    uint32_t len = sizeof text;
    ASSERT_EQ(mok_get_last_error(client, text, &len), MOK_OK) << c.name;
    EXPECT_STREQ(text, c.text) << c.name;
  }
}

TEST(SimulatorFaults, ClientReconnectsAfterEachFaultAndKeepsOrder) {
  camsim::Faults drop;
  drop.drop_every_s = 0.4;
  camsim::Faults corrupt;
  corrupt.corrupt_after_s = 0.4;
  camsim::Faults half_close;
  half_close.half_close_after_s = 0.4;
  const std::vector<Case> cases = {
      {"drop", drop, {&mok_stats_t::disconnects_remote_close}, nullptr},
      {"corrupt head", corrupt, {&mok_stats_t::disconnects_decode_error}, "Length Too Small(2 < 4)"},
      {"half close", half_close, {&mok_stats_t::disconnects_remote_close}, nullptr}};

  std::deque<camsim::Simulator> sims;
  std::deque<Recorder> recs;
  std::vector<mok_client_t*> clients;
  for (const auto& c : cases) {
    camsim::Options opt;
    opt.port = 0;
    opt.scan_rate = 200;
    opt.scene.point_count = 64;
    opt.faults = c.faults;
    auto& sim = sims.emplace_back(opt);
    auto port = sim.start();
    ASSERT_TRUE(port.ok()) << c.name << ": " << port.error();
    auto& rec = recs.emplace_back();
    mok_client_t* client = mok_connect(("127.0.0.1:" + std::to_string(*port)).c_str());
    ASSERT_NE(client, nullptr);
    clients.push_back(client);
    ASSERT_EQ(mok_set_timing(client, 100, 0, 0, 0), MOK_OK);
    mok_set_state_cb(client, on_state, &rec);
    mok_set_scan_cb(client, on_scan, &rec);
    ASSERT_EQ(mok_start(client), MOK_OK);
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    auto& rec = recs[i];
    std::unique_lock lock(rec.m);
    // Results after a second connection: the fault struck and the client came back.
    EXPECT_TRUE(rec.cv.wait_for(lock, std::chrono::seconds(20), [&] { return rec.scans_after_reconnect >= 20; }))
        << cases[i].name << ": connections " << rec.connections;
    const size_t steps_back = rec.steps_back;
    lock.unlock();
    // A connection's first results can reach the host before its state
    // callback does, never before the statistics count it as established.
    mok_stats_t s{};
    ASSERT_EQ(mok_get_stats(clients[i], &s, sizeof s), MOK_OK);
    EXPECT_LT(steps_back, s.connections_established) << cases[i].name;
    expect_counted(clients[i], cases[i]);
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    mok_clear_scan_cb(clients[i]);
    mok_clear_state_cb(clients[i]);
    mok_close(clients[i]);
  }
  for (auto& sim : sims) {
    EXPECT_GE(sim.stats().accepted, 2u);
    sim.stop();
  }
}

}  // namespace
}  // namespace mok::reliability
#endif
