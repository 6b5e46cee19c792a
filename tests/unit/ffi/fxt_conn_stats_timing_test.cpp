// Connection statistics for the ends that take a time-out: a silent peer
// (inactivity) and a peer that stops reading (the write stalls, the queue
// fills, the write times out). Set up and read through the C interface as a
// host does, with millisecond timings.
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "fxt_conn_stats_support.hpp"
#include "mok/mok_fxt.h"
#include "support/connector/harness.hpp"

namespace mok::test {
namespace {

using namespace std::chrono_literals;

void ignore_packet(mok_fxt_packet_t*) {}
void ignore_state(uint32_t) {}

// A connection without auto-reconnect to `peer`, up and accepting sends.
struct Conn {
  mok_fxt_conn_t* conn = nullptr;
  int fd = -1;

  // 0 keeps a timing's default (10 s, reconnecting after 5 s).
  ::testing::AssertionResult open(Listener& peer, uint32_t inactivity_ms, uint32_t write_ms,
                                  uint32_t reconnect_ms = 0) {
    conn = mok_fxt_conn_new(peer.address().c_str(), ignore_packet, ignore_state);
    if (conn == nullptr) return ::testing::AssertionFailure() << "no connection handle";
    mok_fxt_conn_set_auto_reconnect(conn, false);
    if (!mok_fxt_conn_set_timing(conn, reconnect_ms, 0, inactivity_ms, write_ms)) {
      return ::testing::AssertionFailure() << "timings refused";
    }
    if (!mok_fxt_conn_start(conn)) return ::testing::AssertionFailure() << "start refused";
    fd = peer.accept();
    if (fd < 0) return ::testing::AssertionFailure() << "no connection accepted";
    if (!eventually([&] { return stats_of(conn).state == MOK_FXT_STATE_CONNECTED; })) {
      return ::testing::AssertionFailure() << "never connected";
    }
    return ::testing::AssertionSuccess();
  }
  ~Conn() {
    if (conn) mok_fxt_conn_free(conn);
    if (fd >= 0) ::close(fd);
  }
};

TEST(FxtConnStatsTiming, SilentPeerEndsByInactivityWithItsText) {
  Listener peer;
  Conn c;
  ASSERT_TRUE(c.open(peer, 200, 0, 20));
  ASSERT_TRUE(eventually([&] { return disconnects_total(stats_of(c.conn)) >= 1; }, 5s));
  const mok_fxt_conn_stats_t s = stats_of(c.conn);
  EXPECT_EQ(s.disconnects_inactivity, 1u);
  EXPECT_EQ(disconnects_total(s), 1u);
  EXPECT_EQ(s.connect_attempts, 1u);
  EXPECT_EQ(s.connections_established, 1u);
  EXPECT_EQ(s.packets_received + s.packets_sent + s.bytes_received + s.bytes_sent, 0u);
  EXPECT_EQ(last_error(c.conn), "connection timed out due to inactivity");
  ASSERT_TRUE(eventually([&] { return stats_of(c.conn).state == MOK_FXT_STATE_DISCONNECTED; }));
  // Without auto-reconnect nothing follows, not even after ten reconnect delays.
  EXPECT_FALSE(peer.accepts_within(200ms));
  EXPECT_EQ(stats_of(c.conn).connect_attempts, 1u);
}

TEST(FxtConnStatsTiming, StalledPeerFillsTheQueueAndTheWriteTimesOut) {
  Listener peer;
  Conn c;
  ASSERT_TRUE(c.open(peer, 0, 600));

  // Far more than the socket buffers hold: once the peer has read the head
  // and reads no more, the write loop stays inside this payload.
  mok_fxt_packet_t* big = mok_fxt_packet_new(32u << 20, 0, 0, 1);
  ASSERT_NE(big, nullptr);
  ASSERT_TRUE(mok_fxt_conn_send_packet(c.conn, big));
  mok_fxt_packet_free(big);
  ASSERT_TRUE(read_exact(c.fd, 24).has_value());

  mok_fxt_packet_t* small = mok_fxt_packet_new(4, 0, 0, 2);
  ASSERT_NE(small, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(mok_fxt_conn_send_packet(c.conn, small)) << i;
  EXPECT_FALSE(mok_fxt_conn_send_packet(c.conn, small));
  EXPECT_FALSE(mok_fxt_conn_send_packet(c.conn, small));
  mok_fxt_conn_stats_t s = stats_of(c.conn);
  EXPECT_EQ(s.queue_depth, 100u);
  EXPECT_EQ(s.send_refused_queue_full, 2u);
  EXPECT_EQ(s.send_refused_not_connected, 0u);
  EXPECT_EQ(s.packets_sent, 0u);
  EXPECT_EQ(s.bytes_sent, 0u);

  // The peer keeps talking, so only the stalled write can end the connection
  // (a silent peer would race it with the inactivity time-out).
  const auto keep_alive = wire(make_packet(3, {1, 2, 3, 4}));
  uint64_t written = 0;
  const bool ended = eventually(
      [&] {
        if (disconnects_total(stats_of(c.conn)) > 0) return true;
        std::this_thread::sleep_for(50ms);
        if (write_all(c.fd, keep_alive)) ++written;
        return false;
      },
      5s);
  ASSERT_TRUE(ended);
  s = stats_of(c.conn);
  EXPECT_EQ(s.disconnects_write_failure, 1u);
  EXPECT_EQ(disconnects_total(s), 1u);
  EXPECT_EQ(last_error(c.conn), "write timed out");
  EXPECT_GT(s.packets_received, 0u);
  EXPECT_LE(s.packets_received, written);
  EXPECT_EQ(s.bytes_received, s.packets_received * keep_alive.size());
  EXPECT_EQ(s.packets_sent, 0u);

  // What waited in the queue stays there for the next connection, and a send
  // is now refused for want of one.
  ASSERT_TRUE(eventually([&] { return stats_of(c.conn).state == MOK_FXT_STATE_DISCONNECTED; }));
  EXPECT_FALSE(mok_fxt_conn_send_packet(c.conn, small));
  s = stats_of(c.conn);
  EXPECT_EQ(s.send_refused_not_connected, 1u);
  EXPECT_EQ(s.send_refused_queue_full, 2u);
  EXPECT_EQ(s.queue_depth, 100u);
  mok_fxt_packet_free(small);
}

TEST(FxtConnStatsTiming, TimingsAreCheckedAndFixedOnceStarted) {
  Listener peer;
  mok_fxt_conn_t* conn = mok_fxt_conn_new(peer.address().c_str(), ignore_packet, ignore_state);
  ASSERT_NE(conn, nullptr);
  EXPECT_FALSE(mok_fxt_conn_set_timing(nullptr, 0, 0, 0, 0));
  EXPECT_FALSE(mok_fxt_conn_set_timing(conn, 0, 0, 99, 0));  // below 100 ms
  EXPECT_FALSE(mok_fxt_conn_set_timing(conn, 9, 0, 0, 0));
  EXPECT_FALSE(mok_fxt_conn_set_timing(conn, 0, 86'400'001, 0, 0));
  EXPECT_TRUE(mok_fxt_conn_set_timing(conn, 10, 10, 100, 10));
  EXPECT_TRUE(mok_fxt_conn_set_timing(conn, 0, 0, 0, 0));
  ASSERT_TRUE(mok_fxt_conn_start(conn));
  EXPECT_FALSE(mok_fxt_conn_set_timing(conn, 0, 0, 0, 0));
  mok_fxt_conn_free(conn);
}

}  // namespace
}  // namespace mok::test
