// Connection statistics: one disconnect per connection whichever loop ends
// first, and the counters and texts a C host reads from a live connection to
// a scripted peer.
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "fxt/client/stats.hpp"
#include "fxt_conn_stats_support.hpp"
#include "mok/mok_fxt.h"
#include "support/connector/harness.hpp"

namespace mok::fxt::client {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::last_error;
using test::stats_of;

TEST(ConnStats, FirstEndOfAConnectionDecidesItsCause) {
  ConnStats s;
  s.begin_connection();
  EXPECT_TRUE(s.end_connection(DisconnectCause::WriteFailure, "write timed out"));
  EXPECT_FALSE(s.end_connection(DisconnectCause::Stop));  // the partner loop following
  s.begin_connection();
  EXPECT_TRUE(s.end_connection(DisconnectCause::Stop));
  EXPECT_FALSE(s.end_connection(DisconnectCause::RemoteClose, "remote closed read half"));
  const ConnStatsSnapshot snap = s.snapshot(3);
  EXPECT_EQ(snap.disconnects_by(DisconnectCause::WriteFailure), 1u);
  EXPECT_EQ(snap.disconnects_by(DisconnectCause::Stop), 1u);
  EXPECT_EQ(snap.disconnects_by(DisconnectCause::RemoteClose), 0u);
  EXPECT_EQ(snap.queue_depth, 3u);
  // The losing claim's reason is not the last failure either.
  EXPECT_EQ(s.last_failure(), "write timed out");
}

TEST(ConnStats, StateTimeStartsAtEachReport) {
  ConnStats s;
  EXPECT_EQ(s.snapshot(0).state, State::Idle);
  s.enter_state(State::Connected);
  EXPECT_EQ(s.snapshot(0).state, State::Connected);
  EXPECT_LT(s.snapshot(0).time_in_state_ms, 60'000u);  // not the time since some epoch
}

void ignore_packet(mok_fxt_packet_t*) {}
void ignore_state(uint32_t) {}

TEST(FxtConnStats, LiveConnectionCountsTrafficAndRemoteClose) {
  test::Listener peer;
  mok_fxt_conn_t* conn = mok_fxt_conn_new(peer.address().c_str(), ignore_packet, ignore_state);
  ASSERT_NE(conn, nullptr);
  uint32_t len = 7;
  EXPECT_FALSE(mok_fxt_conn_last_error(conn, nullptr, &len));
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(stats_of(conn).state, MOK_FXT_STATE_IDLE);

  mok_fxt_packet_t* out = mok_fxt_packet_new(6, 0, 0, 3);
  ASSERT_NE(out, nullptr);
  EXPECT_FALSE(mok_fxt_conn_send_packet(conn, out));  // not connected yet
  EXPECT_EQ(stats_of(conn).send_refused_not_connected, 1u);

  ASSERT_TRUE(mok_fxt_conn_start(conn));
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(eventually([&] { return mok_fxt_conn_send_packet(conn, out); }));
  ASSERT_TRUE(test::read_exact(fd, 24 + 6));
  const auto in = test::wire(Packet::make(Flags{}, Kind::Data, 3, Bytes(std::vector<uint8_t>(10, 1))));
  ASSERT_TRUE(test::write_all(fd, in));
  ASSERT_TRUE(test::write_all(fd, in));
  ASSERT_TRUE(eventually([&] { return stats_of(conn).packets_received == 2; }));
  ASSERT_TRUE(eventually([&] { return stats_of(conn).packets_sent == 1; }));
  const mok_fxt_conn_stats_t s = stats_of(conn);
  EXPECT_EQ(s.size, sizeof s);
  EXPECT_EQ(s.state, MOK_FXT_STATE_CONNECTED);
  EXPECT_EQ(s.connect_attempts, 1u);
  EXPECT_EQ(s.connections_established, 1u);
  EXPECT_EQ(s.bytes_received, 2u * (24 + 10));
  EXPECT_EQ(s.bytes_sent, 24u + 6);
  EXPECT_EQ(s.queue_depth, 0u);

  ::close(fd);
  ASSERT_TRUE(eventually([&] { return stats_of(conn).disconnects_remote_close == 1; }));
  const mok_fxt_conn_stats_t after = stats_of(conn);
  EXPECT_EQ(after.disconnects_stop + after.disconnects_decode_error + after.disconnects_write_failure +
                after.disconnects_inactivity,
            0u);
  EXPECT_EQ(last_error(conn), "remote closed read half");

  // A host that knows only the size and state fields.
  mok_fxt_conn_stats_t small;
  std::memset(&small, 0xAB, sizeof small);
  ASSERT_TRUE(mok_fxt_conn_get_stats(conn, &small, 8));
  EXPECT_EQ(small.size, 8u);
  EXPECT_EQ(small.time_in_state_ms, 0xABABABABABABABABull);
  EXPECT_FALSE(mok_fxt_conn_get_stats(conn, &small, 2));
  EXPECT_FALSE(mok_fxt_conn_get_stats(nullptr, &small, sizeof small));

  mok_fxt_packet_free(out);
  mok_fxt_conn_free(conn);
}

}  // namespace
}  // namespace mok::fxt::client
