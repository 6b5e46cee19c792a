// Valid streams that arrive awkwardly: a packet of the largest size with the
// next one straight behind it in the same reads, and a packet that takes
// longer than the inactivity time-out to trickle in. Both are received and
// the connection stays up.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mok/mok.h"
#include "mok/mok_fxt.h"
#include "support/device_stats.hpp"
#include "support/eventually.hpp"
#include "support/fake_camera.hpp"
#include "support/scripted_peer.hpp"

namespace {

using mok::test::eventually;
using mok::test::ScriptedPeer;
using mok::test::stats_of;

constexpr std::uint16_t kIgnoredStream = 99;
constexpr std::size_t kMaxPayload = std::size_t{64} << 20;

class HostileStream : public ::testing::Test {
 protected:
  void SetUp() override {
    h = mok_connect(peer.address().c_str());
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(mok_set_timing(h, 0, 0, inactivity_ms, 0), MOK_OK);
    ASSERT_EQ(mok_start(h), MOK_OK);
    ASSERT_TRUE(peer.wait_accepted(1));
  }
  void TearDown() override { mok_close(h); }

  ScriptedPeer peer;
  mok_client_t* h = nullptr;
  std::uint32_t inactivity_ms = 0;  // 0: the default
};

// A connection that gives up after 500 ms of silence.
class HostileSlowStream : public HostileStream {
 protected:
  HostileSlowStream() { inactivity_ms = 500; }
};

TEST_F(HostileStream, LargestPacketFollowedAtOnceByAnotherIsReceived) {
  std::vector<std::uint8_t> bytes =
      mok::test::encode_wire(0, kIgnoredStream, std::vector<std::uint8_t>(kMaxPayload, 7), 0, 1);
  const auto next = mok::test::encode_wire(0, kIgnoredStream, std::vector<std::uint8_t>(16, 9), 0, 2);
  bytes.insert(bytes.end(), next.begin(), next.end());
  ASSERT_TRUE(peer.send(bytes, std::chrono::seconds(30)));
  ASSERT_TRUE(eventually(
      [&] {
        const mok_stats_t s = stats_of(h);
        return s.packets_received == 2 || s.disconnects_decode_error > 0;
      },
      std::chrono::seconds(30)));
  const mok_stats_t s = stats_of(h);
  EXPECT_EQ(s.ignored_packets, 2u);
  EXPECT_EQ(s.disconnects_decode_error, 0u);
  EXPECT_EQ(s.connections_established, 1u);
}

// The packet takes four times the inactivity time-out to arrive.
TEST_F(HostileSlowStream, PacketSlowerThanTheInactivityTimeOutStillArrives) {
  const auto bytes = mok::test::encode_wire(0, kIgnoredStream, std::vector<std::uint8_t>(1100, 3), 0, 1);
  // 20 pieces 100 ms apart: each gap a fifth of the time-out, so a loaded
  // machine does not turn one into a silence, the whole four time-outs.
  constexpr std::size_t kPieces = 20;
  const std::size_t piece = bytes.size() / kPieces + 1;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    const std::size_t n = std::min(piece, bytes.size() - at);
    ASSERT_TRUE(peer.send(std::span(bytes).subspan(at, n)));
    if (at + n < bytes.size()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(eventually([&] { return stats_of(h).packets_received == 1; }));
  const mok_stats_t s = stats_of(h);
  EXPECT_EQ(s.disconnects_inactivity, 0u);
  EXPECT_EQ(s.connections_established, 1u);
}

std::atomic<int> g_fxt_connected{0};
void fxt_on_packet(mok_fxt_packet_t*) {}
void fxt_on_state(uint32_t state) {
  if (state == MOK_STATE_CONNECTED) g_fxt_connected.fetch_add(1);
}

// Every receiver, ours included, refuses a head whose length is below 4:
// such a packet can be built, but it is not sent.
TEST(HostileSend, PacketBelowTheHeadMinimumIsRefused) {
  ScriptedPeer peer;
  mok_fxt_conn_t* conn = mok_fxt_connect(peer.address().c_str(), fxt_on_packet, fxt_on_state);
  ASSERT_NE(conn, nullptr);
  ASSERT_TRUE(eventually([] { return g_fxt_connected.load() > 0; }));
  mok_fxt_packet_t* empty = mok_fxt_packet_new(0, 0, 0, 5);
  mok_fxt_packet_t* smallest = mok_fxt_packet_new(4, 0, 0, 5);
  ASSERT_NE(empty, nullptr);
  ASSERT_NE(smallest, nullptr);
  EXPECT_FALSE(mok_fxt_conn_send_packet(conn, empty));
  EXPECT_TRUE(mok_fxt_conn_send_packet(conn, smallest));
  // Refused means not taken: the host's handle is still its own to change.
  EXPECT_TRUE(mok_fxt_packet_set_seq(empty, 1));
  mok_fxt_packet_free(empty);
  mok_fxt_packet_free(smallest);
  mok_fxt_disconnect(conn);
}

}  // namespace
