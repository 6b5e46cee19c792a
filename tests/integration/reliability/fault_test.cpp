// Peer faults through the device interface: a peer that closes mid-head or
// mid-payload, sends a head no reader accepts, or half-closes. The partial
// packet is never delivered, the client drops the connection, reconnects on
// its own and goes on delivering. A peer that sends faster than the host
// consumes is held back by TCP, not by our memory. The faults run side by
// side, one client each, so their reconnect waits overlap.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mok/mok.h"
#include "support/device_stats.hpp"
#include "support/eventually.hpp"
#include "support/fake_camera.hpp"
#include "support/process_figures.hpp"
#include "support/scan_payload.hpp"
#include "support/scripted_peer.hpp"

namespace mok::reliability {
namespace {

using test::resident_bytes;
using test::ScriptedPeer;

// One scan result whose device time stamp numbers it.
std::vector<uint8_t> scan_packet(uint64_t number, size_t points = 3) {
  test::ScanPayload p(points);
  p.u64(36, number);
  return test::encode_wire(test::kKindData, wire::stream::kScan, p.bytes(), 0, number);
}

struct Host {
  std::mutex m;
  std::condition_variable cv;
  std::vector<uint32_t> states;
  std::vector<uint64_t> pts;  // scan results in arrival order
  // While set, the scan callback waits for it to clear (a host that stalls).
  bool stall = false;
  bool in_stalled_call = false;

  size_t count(uint32_t s) { return static_cast<size_t>(std::count(states.begin(), states.end(), s)); }
  bool wait(const std::function<bool()>& pred, std::chrono::milliseconds bound = test::kEventually) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, bound, pred);
  }
};

void on_state(uint32_t state, void* user) {
  auto* h = static_cast<Host*>(user);
  std::lock_guard lock(h->m);
  h->states.push_back(state);
  h->cv.notify_all();
}

void on_scan(mok_scan_result_t* r, void* user) {
  auto* h = static_cast<Host*>(user);
  const uint64_t pts = mok_scan_result_pts(r);
  mok_scan_result_free(r);
  std::unique_lock lock(h->m);
  h->pts.push_back(pts);
  h->cv.notify_all();
  if (h->stall) {
    h->in_stalled_call = true;
    h->cv.notify_all();
    // Bounded so a broken test cannot hang the run.
    h->cv.wait_for(lock, std::chrono::seconds(60), [&] { return !h->stall; });
    h->in_stalled_call = false;
  }
}

struct Subject {
  ScriptedPeer peer;
  Host host;
  mok_client_t* client = nullptr;

  void connect() {
    client = mok_connect(peer.address().c_str());
    ASSERT_NE(client, nullptr);
    // Reconnect after 100 ms instead of 5 s.
    ASSERT_EQ(mok_set_timing(client, 100, 0, 0, 0), MOK_OK);
    mok_set_state_cb(client, on_state, &host);
    mok_set_scan_cb(client, on_scan, &host);
    ASSERT_EQ(mok_start(client), MOK_OK);
  }
  ~Subject() {
    if (client) {
      mok_clear_scan_cb(client);
      mok_clear_state_cb(client);
      mok_close(client);
    }
  }
  // The client's CONNECTED can come before the peer's accept: wait for both.
  bool connected_times(size_t n) {
    return host.wait([&] { return host.count(MOK_STATE_CONNECTED) >= n; }) && peer.wait_accepted(n);
  }
  bool scans(size_t n) {
    return host.wait([&] { return host.pts.size() >= n; });
  }
};

using test::last_error;
using test::stats_of;

// A stream cut inside a packet: the framer's end-of-stream error.
constexpr const char* kTruncated = "Io(bytes remaining on stream)";

struct Fault {
  const char* name;
  std::function<void(ScriptedPeer&)> inject;
  // The disconnect counter this fault must bump: a peer that goes away, even
  // in the middle of a packet, is a remote close; refused bytes a decode
  // error.
  uint64_t mok_stats_t::*cause;
  const char* text;  // the last failure it leaves
};

TEST(FaultInjection, ClientDropsTheBrokenStreamReconnectsAndDeliversAgain) {
  const auto next = scan_packet(2);
  const std::vector<Fault> faults = {
      {"close mid-head",
       [&](ScriptedPeer& p) {
         ASSERT_TRUE(p.send(std::span(next).first(10)));
         p.drop_all();
       },
       &mok_stats_t::disconnects_remote_close, kTruncated},
      {"close mid-payload",
       [&](ScriptedPeer& p) {
         ASSERT_TRUE(p.send(std::span(next).first(24 + 600)));
         p.drop_all();
       },
       &mok_stats_t::disconnects_remote_close, kTruncated},
      {"close right after a head",
       [&](ScriptedPeer& p) {
         ASSERT_TRUE(p.send(std::span(next).first(24)));
         p.drop_all();
       },
       &mok_stats_t::disconnects_remote_close, kTruncated},
      {"close between packets", [&](ScriptedPeer& p) { p.drop_all(); }, &mok_stats_t::disconnects_remote_close,
       "remote closed read half"},
      {"corrupt head",
       [&](ScriptedPeer& p) {
         auto bad = scan_packet(2);
         bad[0] = bad[1] = bad[2] = 0;
         bad[3] = 2;  // length 2: below the smallest a reader accepts
         ASSERT_TRUE(p.send(bad));
       },
       &mok_stats_t::disconnects_decode_error, "Length Too Small(2 < 4)"},
      {"unknown kind",
       [&](ScriptedPeer& p) {
         auto bad = scan_packet(2);
         bad[5] = 77;
         ASSERT_TRUE(p.send(bad));
       },
       &mok_stats_t::disconnects_decode_error, "Unknown Kind(77)"},
      {"half close",
       [&](ScriptedPeer& p) {
         ASSERT_TRUE(p.send(std::span(next).first(30)));
         p.half_close();
       },
       &mok_stats_t::disconnects_remote_close, kTruncated},
  };

  std::deque<Subject> subjects(faults.size());
  for (auto& s : subjects) {
    s.connect();
    ASSERT_FALSE(HasFatalFailure());
  }
  for (size_t i = 0; i < faults.size(); ++i) {
    auto& s = subjects[i];
    ASSERT_TRUE(s.connected_times(1)) << faults[i].name;
    ASSERT_TRUE(s.peer.send(scan_packet(1))) << faults[i].name;
    ASSERT_TRUE(s.scans(1)) << faults[i].name;
    faults[i].inject(s.peer);
    ASSERT_FALSE(HasFatalFailure()) << faults[i].name;
  }
  for (size_t i = 0; i < faults.size(); ++i) {
    auto& s = subjects[i];
    EXPECT_TRUE(s.host.wait([&] { return s.host.count(MOK_STATE_DISCONNECTED) >= 1; })) << faults[i].name;
    // The client reconnects by itself (after its reconnect delay).
    ASSERT_TRUE(s.connected_times(2)) << faults[i].name;
    ASSERT_TRUE(s.peer.wait_accepted(2)) << faults[i].name;
    ASSERT_TRUE(s.peer.send(scan_packet(3))) << faults[i].name;
    ASSERT_TRUE(s.scans(2)) << faults[i].name;
    {
      std::lock_guard lock(s.host.m);
      // The cut or refused packet never reached the host.
      EXPECT_EQ(s.host.pts, (std::vector<uint64_t>{1, 3})) << faults[i].name;
    }
    // One connection lost for one reason, one reconnect, and the two whole
    // packets the only ones counted.
    const mok_stats_t st = stats_of(s.client);
    const uint64_t peer_or_stream = st.disconnects_remote_close + st.disconnects_decode_error;
    EXPECT_EQ(peer_or_stream, 1u) << faults[i].name;
    EXPECT_EQ(st.*faults[i].cause, 1u) << faults[i].name;
    EXPECT_EQ(st.disconnects_inactivity + st.disconnects_write_failure + st.disconnects_stop, 0u)
        << faults[i].name;
    EXPECT_EQ(st.connect_attempts, 2u) << faults[i].name;
    EXPECT_EQ(st.connections_established, 2u) << faults[i].name;
    EXPECT_EQ(st.state, MOK_STATE_CONNECTED) << faults[i].name;
    EXPECT_EQ(st.packets_received, 2u) << faults[i].name;
    EXPECT_EQ(st.scan_results, 2u) << faults[i].name;
    EXPECT_EQ(st.scan_results_rejected, 0u) << faults[i].name;
    EXPECT_EQ(last_error(s.client), faults[i].text) << faults[i].name;
  }
}

TEST(FaultInjection, FastPeerIsHeldBackByTcpNotBufferedWithoutBound) {
  Subject s;
  s.peer.set_small_buffers(true);
  s.host.stall = true;
  s.connect();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(s.connected_times(1));

  // The first result parks the host inside its callback.
  ASSERT_TRUE(s.peer.send(scan_packet(1)));
  ASSERT_TRUE(s.host.wait([&] { return s.host.in_stalled_call; }));
  const size_t rss_before = resident_bytes();

  // Push until the peer's send makes no progress for a while. Without
  // back-pressure it would go on to the cap.
  constexpr size_t kCap = 256u << 20;
  constexpr size_t kPoints = 1000;  // about 5 KB a packet
  uint64_t sent = 1;
  size_t pushed = 0;
  std::vector<uint8_t> pending;
  size_t pending_off = 0;
  int idle_rounds = 0;
  while (pushed < kCap && idle_rounds < 200) {
    if (pending_off == pending.size()) {
      pending = scan_packet(++sent, kPoints);
      pending_off = 0;
    }
    const size_t n = s.peer.send_some(std::span(pending).subspan(pending_off));
    pending_off += n;
    pushed += n;
    if (n == 0) {
      ++idle_rounds;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } else {
      idle_rounds = 0;
    }
  }
  const size_t rss_blocked = resident_bytes();
  std::printf("peer pushed %zu bytes before its send blocked; resident memory %zu -> %zu KB\n", pushed,
              rss_before / 1024, rss_blocked / 1024);
  EXPECT_LT(pushed, size_t{32u << 20}) << "the library kept reading while its host was stalled";
  EXPECT_LT(rss_blocked, rss_before + (64u << 20));

  // Released, the host gets every complete packet exactly once and in order.
  {
    std::lock_guard lock(s.host.m);
    s.host.stall = false;
    s.host.cv.notify_all();
  }
  if (pending_off > 0 && pending_off < pending.size()) {
    ASSERT_TRUE(s.peer.send(std::span(pending).subspan(pending_off)));
  }
  ASSERT_TRUE(s.scans(static_cast<size_t>(sent)));
  std::lock_guard lock(s.host.m);
  ASSERT_EQ(s.host.pts.size(), static_cast<size_t>(sent));
  for (size_t i = 0; i < s.host.pts.size(); ++i) ASSERT_EQ(s.host.pts[i], i + 1);
  // The peer never had to drop the connection.
  EXPECT_EQ(s.host.count(MOK_STATE_DISCONNECTED), 0u);
  const mok_stats_t st = stats_of(s.client);
  EXPECT_EQ(st.scan_results, sent);
  EXPECT_EQ(st.connections_established, 1u);
  EXPECT_EQ(test::disconnects_total(st), 0u);
}

}  // namespace
}  // namespace mok::reliability
