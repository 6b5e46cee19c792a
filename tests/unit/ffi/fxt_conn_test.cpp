// The connection C interface: null and refusal paths, the callbacks' handle
// rules, and the state sequences a C host sees.
#include <condition_variable>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "mok/mok_fxt.h"
#include "support/connector/harness.hpp"

namespace {

using namespace std::chrono_literals;

// C callbacks carry no user data, so what they see goes to one place.
struct Seen {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<uint32_t> states;
  std::vector<mok_fxt_packet_t*> clones;
  std::vector<uint32_t> lengths;

  bool wait_states(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock g(lock);
    return changed.wait_for(g, timeout, [&] { return states.size() >= n; });
  }
  bool wait_packets(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock g(lock);
    return changed.wait_for(g, timeout, [&] { return clones.size() >= n; });
  }
  void reset() {
    std::lock_guard g(lock);
    states.clear();
    for (auto* p : clones) mok_fxt_packet_free(p);
    clones.clear();
    lengths.clear();
  }
};
Seen& seen() {
  static Seen* s = new Seen;
  return *s;
}

void on_state(uint32_t state) {
  std::lock_guard g(seen().lock);
  seen().states.push_back(state);
  seen().changed.notify_all();
}

void on_packet(mok_fxt_packet_t* packet) {
  // The handle is the library's: keep the packet through a clone.
  mok_fxt_packet_t* clone = mok_fxt_packet_clone(packet);
  std::lock_guard g(seen().lock);
  seen().lengths.push_back(mok_fxt_packet_length(packet));
  seen().clones.push_back(clone);
  seen().changed.notify_all();
}

TEST(FxtConn, NullAndInvalidArgumentsGiveNeutralResults) {
  EXPECT_EQ(mok_fxt_conn_new(nullptr, on_packet, on_state), nullptr);
  EXPECT_EQ(mok_fxt_connect(nullptr, on_packet, on_state), nullptr);
  EXPECT_EQ(mok_fxt_conn_new("127.0.0.1:1", nullptr, on_state), nullptr);
  EXPECT_EQ(mok_fxt_conn_new("127.0.0.1:1", on_packet, nullptr), nullptr);
  EXPECT_EQ(mok_fxt_conn_new("127.0.0.1", on_packet, on_state), nullptr);
  EXPECT_EQ(mok_fxt_conn_new("\xC0\xAF:1", on_packet, on_state), nullptr);  // overlong
  EXPECT_EQ(mok_fxt_conn_new("\xE2\x82:1", on_packet, on_state), nullptr);  // truncated
  EXPECT_FALSE(mok_fxt_conn_start(nullptr));
  EXPECT_FALSE(mok_fxt_conn_stop(nullptr));
  EXPECT_FALSE(mok_fxt_conn_shutdown(nullptr));
  EXPECT_FALSE(mok_fxt_conn_send_packet(nullptr, nullptr));
  mok_fxt_conn_set_auto_reconnect(nullptr, false);
  mok_fxt_conn_free(nullptr);
  mok_fxt_disconnect(nullptr);
}

TEST(FxtConn, ConnectedHandleExchangesPacketsAndFreeReportsTeardown) {
  seen().reset();
  mok::test::Listener peer;
  mok_fxt_conn_t* conn = mok_fxt_conn_new(peer.address().c_str(), on_packet, on_state);
  ASSERT_NE(conn, nullptr);
  EXPECT_FALSE(mok_fxt_conn_send_packet(conn, nullptr));

  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  mok_fxt_packet_t* out = mok_fxt_packet_from_payload(0, 0, 7, 42, 99, bytes, sizeof bytes);
  ASSERT_NE(out, nullptr);
  // Refused before Connected; the host's handle stays its own.
  EXPECT_FALSE(mok_fxt_conn_send_packet(conn, out));
  EXPECT_TRUE(mok_fxt_packet_set_seq(out, 43));
  EXPECT_FALSE(peer.accepts_within(0ms));
  EXPECT_TRUE(seen().states.empty());

  ASSERT_TRUE(mok_fxt_conn_start(conn));
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(seen().wait_states(1, 5s));
  ASSERT_TRUE(mok::test::eventually([&] { return mok_fxt_conn_send_packet(conn, out); }));
  auto got = mok::test::read_exact(fd, 24 + sizeof bytes);
  ASSERT_TRUE(got.has_value());
  std::vector<uint8_t> expected(24 + sizeof bytes);
  ASSERT_EQ(mok_fxt_packet_write_wire(out, expected.data(), expected.size()), expected.size());
  EXPECT_EQ(*got, expected);
  mok_fxt_packet_free(out);

  auto in = mok::test::wire(mok::test::make_packet(5, {9, 8, 7, 6, 5, 4}));
  ASSERT_TRUE(mok::test::write_all(fd, in));
  ASSERT_TRUE(seen().wait_packets(1, 5s));
  {
    std::lock_guard g(seen().lock);
    EXPECT_EQ(seen().lengths[0], 6u);
    // The clone outlives the callback's handle.
    EXPECT_EQ(mok_fxt_packet_stream_id(seen().clones[0]), 5u);
    EXPECT_EQ(mok_fxt_packet_payload_len(seen().clones[0]), 6u);
  }

  mok_fxt_conn_free(conn);
  ASSERT_TRUE(seen().wait_states(4, 5s));
  std::lock_guard g(seen().lock);
  EXPECT_EQ(seen().states, (std::vector<uint32_t>{MOK_FXT_STATE_CONNECTED, MOK_FXT_STATE_SHUTTING_DOWN,
                                                  MOK_FXT_STATE_DISCONNECTED, MOK_FXT_STATE_TERMINATED}));
  ::close(fd);
}

TEST(FxtConn, ShutdownRefusesFurtherRequestsAndDisconnectReleases) {
  seen().reset();
  mok::test::Listener peer;
  mok_fxt_conn_t* conn = mok_fxt_connect(peer.address().c_str(), on_packet, on_state);
  ASSERT_NE(conn, nullptr);
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(seen().wait_states(1, 5s));
  ASSERT_TRUE(mok_fxt_conn_shutdown(conn));
  EXPECT_FALSE(mok_fxt_conn_start(conn));
  EXPECT_FALSE(mok_fxt_conn_stop(conn));
  mok_fxt_packet_t* p = mok_fxt_packet_new(4, 0, 0, 1);
  EXPECT_FALSE(mok_fxt_conn_send_packet(conn, p));
  mok_fxt_packet_free(p);
  ASSERT_TRUE(seen().wait_states(4, 5s));
  EXPECT_TRUE(mok::test::eventually([&] { return !mok_fxt_conn_shutdown(conn); }));
  mok_fxt_disconnect(conn);
  ::close(fd);
}

}  // namespace
