// The connector against scripted peers on 127.0.0.1: lifecycles that settle
// quickly. The cases that wait for the 5 s reconnect or the 10 s time-outs
// are in connector_timing_test.cpp.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "fxt/client/tcp.hpp"
#include "harness.hpp"

namespace mok::fxt::client {
namespace {

using namespace std::chrono_literals;
using test::LogCapture;
using test::Peer;
using test::Recorder;

std::shared_ptr<Connector> make(const std::string& addr, std::shared_ptr<Recorder> rec) {
  auto c = Connector::create(test::test_runtime(), addr, std::move(rec));
  EXPECT_TRUE(c.ok()) << (c.ok() ? "" : c.error().display());
  return c.ok() ? *c : nullptr;
}

std::vector<State> seq(std::initializer_list<State> s) { return s; }

TEST(Connector, ResolvesOnlyValidAddresses) {
  EXPECT_EQ(resolve_first("127.0.0.1").error().display(), "invalid socket address");
  EXPECT_EQ(resolve_first("127.0.0.1:http").error().display(), "invalid port value");
  EXPECT_EQ(resolve_first("127.0.0.1:70000").error().display(), "invalid port value");
  auto v4 = resolve_first("127.0.0.1:6833");
  ASSERT_TRUE(v4.ok());
  EXPECT_EQ(format_address(v4->first), "127.0.0.1:6833");
  auto v6 = resolve_first("[::1]:80");
  ASSERT_TRUE(v6.ok());
  EXPECT_EQ(format_address(v6->first), "[::1]:80");
  auto named = resolve_first("localhost:9");
  ASSERT_TRUE(named.ok());
  EXPECT_TRUE(format_address(named->first).ends_with(":9"));

  auto rec = std::make_shared<Recorder>();
  EXPECT_FALSE(Connector::create(test::test_runtime(), "no-port", rec).ok());
}

TEST(Connector, ShutdownOfNeverStartedConnectorReportsThreeStatesAndRefusesAfter) {
  LogCapture logs;
  Peer peer;
  auto rec = std::make_shared<Recorder>();
  auto c = make(peer.address(), rec);
  ASSERT_TRUE(c);
  EXPECT_TRUE(c->send(test::make_packet(1, {1, 2, 3, 4})).error().is_not_ready());
  // Stop while idle reports nothing.
  ASSERT_TRUE(c->stop().ok());
  ASSERT_TRUE(c->shutdown().ok());
  ASSERT_TRUE(rec->wait_states(3, 5s));
  EXPECT_EQ(rec->states(), seq({State::ShuttingDown, State::Disconnected, State::Terminated}));
  EXPECT_FALSE(peer.accepts_within(0ms));  // nothing ever connected

  EXPECT_TRUE(c->start().error().is_not_ready());
  EXPECT_TRUE(c->stop().error().is_not_ready());
  EXPECT_TRUE(c->send(test::make_packet(1, {1, 2, 3, 4})).error().is_not_ready());
  // Once the loop has ended nobody listens any more.
  bool closed = false;
  for (int i = 0; i < 500 && !closed; ++i) {
    auto r = c->shutdown();
    closed = !r.ok() && r.error().display() == "channel closed";
    if (!closed) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(closed);
  EXPECT_TRUE(logs.contains("shutdown signal received (connector loop)"));
  EXPECT_TRUE(logs.contains("connector loop stopped"));
  EXPECT_EQ(rec->states().size(), 3u);
}

TEST(Connector, ExchangesPacketsBothWaysByteExactAndInOrder) {
  LogCapture logs;
  Peer peer;
  auto rec = std::make_shared<Recorder>();
  std::atomic<int> refused_inside{0};
  std::weak_ptr<Connector> weak;
  rec->set_state_hook([&](State s) {
    if (s != State::Connected) return;
    if (auto c = weak.lock()) {
      auto r = c->send(test::make_packet(9, {9, 9, 9, 9}));
      if (!r.ok() && r.error().is_not_ready()) ++refused_inside;
    }
  });
  auto c = make(peer.address(), rec);
  ASSERT_TRUE(c);
  weak = c;
  EXPECT_TRUE(c->send(test::make_packet(1, {1, 2, 3, 4})).error().is_not_ready());
  ASSERT_TRUE(c->start().ok());
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(rec->wait_states(1, 5s));
  EXPECT_EQ(rec->states(), seq({State::Connected}));
  EXPECT_EQ(refused_inside.load(), 1);
  EXPECT_TRUE(logs.wait_for("connected to " + peer.address(), 1s));

  // Outbound: as stored, seq and ts included, in queue order.
  std::vector<Packet> out;
  std::size_t total = 0;
  for (uint16_t i = 0; i < 20; ++i) {
    std::vector<uint8_t> payload(4 + i * 37);
    for (std::size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<uint8_t>(k * 7 + i);
    out.push_back(test::make_packet(i, payload, 1000 + i));
    total += test::wire(out.back()).size();
  }
  for (bool sent = false; !sent;) {
    // Connected is reported just before the loops start; retry briefly.
    sent = c->send(out[0]).ok();
    if (!sent) std::this_thread::sleep_for(1ms);
  }
  for (std::size_t i = 1; i < out.size(); ++i) ASSERT_TRUE(c->send(out[i]).ok());
  std::vector<uint8_t> expected;
  for (const auto& p : out) {
    auto w = test::wire(p);
    expected.insert(expected.end(), w.begin(), w.end());
  }
  auto got = test::read_exact(fd, total);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, expected);

  // Inbound: split at awkward places, several packets per write.
  std::vector<uint8_t> stream;
  for (uint16_t i = 0; i < 30; ++i) {
    auto w = test::wire(test::make_packet(i, std::vector<uint8_t>(4 + i * 101, uint8_t(i)), i));
    stream.insert(stream.end(), w.begin(), w.end());
  }
  for (std::size_t off = 0; off < stream.size(); off += 1013) {
    const std::size_t n = std::min<std::size_t>(1013, stream.size() - off);
    ASSERT_TRUE(test::write_all(fd, {stream.begin() + off, stream.begin() + off + n}));
  }
  ASSERT_TRUE(rec->wait_packets(30, 5s));
  auto packets = rec->packets();
  for (uint16_t i = 0; i < 30; ++i) {
    EXPECT_EQ(packets[i]->head.stream_id, i);
    EXPECT_EQ(packets[i]->head.seq, i);
    EXPECT_EQ(packets[i]->payload.size(), 4u + i * 101);
    EXPECT_EQ(packets[i]->payload[0], uint8_t(i));
  }

  ASSERT_TRUE(c->shutdown().ok());
  ASSERT_TRUE(rec->wait_states(4, 5s));
  EXPECT_EQ(rec->states(), seq({State::Connected, State::ShuttingDown, State::Disconnected,
                                State::Terminated}));
  EXPECT_TRUE(test::wait_eof(fd));  // our write side closed
  ::close(fd);
  EXPECT_FALSE(rec->overlapped());
}

TEST(Connector, PeerHalfCloseEndsBothLoopsAndSignalsEndOfStream) {
  LogCapture logs;
  Peer peer;
  auto rec = std::make_shared<Recorder>();
  auto c = make(peer.address(), rec);
  ASSERT_TRUE(c);
  c->set_auto_reconnect(false);
  ASSERT_TRUE(c->start().ok());
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(rec->wait_states(1, 5s));
  ::shutdown(fd, SHUT_WR);
  ASSERT_TRUE(rec->wait_states(2, 5s));
  EXPECT_EQ(rec->states(), seq({State::Connected, State::Disconnected}));
  EXPECT_GE(logs.index_of("remote closed read half"), 0);
  EXPECT_GT(logs.index_of("force exit requested (write loop)"),
            logs.index_of("remote closed read half"));
  EXPECT_TRUE(logs.contains("read loop stopped"));
  EXPECT_TRUE(logs.contains("write loop stopped"));
  EXPECT_TRUE(logs.contains("reader and writer tasks completed"));
  EXPECT_TRUE(test::wait_eof(fd));
  EXPECT_TRUE(c->send(test::make_packet(1, {1, 2, 3, 4})).error().is_not_ready());
  ::close(fd);
  (void)c->shutdown();
  ASSERT_TRUE(rec->wait_states(5, 5s));
}

TEST(Connector, PeerClosingInsideAPacketIsADecodeError) {
  LogCapture logs;
  Peer peer;
  auto rec = std::make_shared<Recorder>();
  auto c = make(peer.address(), rec);
  ASSERT_TRUE(c);
  c->set_auto_reconnect(false);
  ASSERT_TRUE(c->start().ok());
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);
  auto w = test::wire(test::make_packet(3, std::vector<uint8_t>(100, 1)));
  w.resize(24 + 50);
  ASSERT_TRUE(test::write_all(fd, w));
  ::shutdown(fd, SHUT_WR);
  ASSERT_TRUE(rec->wait_states(2, 5s));
  EXPECT_TRUE(logs.contains("failed to decode packet: Io(bytes remaining on stream)"));
  EXPECT_TRUE(rec->packets().empty());
  ::close(fd);
  (void)c->shutdown();
}

TEST(Connector, StopAndStartAgainReportsOneDisconnectedThenConnected) {
  LogCapture logs;
  Peer peer;
  auto rec = std::make_shared<Recorder>();
  auto c = make(peer.address(), rec);
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->start().ok());
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(rec->wait_states(1, 5s));
  // Start while connected changes nothing.
  ASSERT_TRUE(c->start().ok());
  EXPECT_TRUE(logs.wait_for("start command received", 1s));
  ASSERT_TRUE(c->stop().ok());
  ASSERT_TRUE(c->start().ok());  // right behind the stop, while the loops end
  const int fd2 = peer.accept();
  ASSERT_GE(fd2, 0);
  ASSERT_TRUE(rec->wait_states(3, 5s));
  EXPECT_EQ(rec->states(), seq({State::Connected, State::Disconnected, State::Connected}));
  EXPECT_TRUE(test::wait_eof(fd));
  // The queue came back from the first write loop: sending still works.
  auto p = test::make_packet(4, {4, 4, 4, 4});
  for (bool sent = false; !sent;) {
    sent = c->send(p).ok();
    if (!sent) std::this_thread::sleep_for(1ms);
  }
  auto got = test::read_exact(fd2, test::wire(p).size());
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, test::wire(p));
  ::close(fd);
  ::close(fd2);
  (void)c->shutdown();
  ASSERT_TRUE(rec->wait_states(6, 5s));
}

TEST(Connector, InvalidHeadIsReportedAndEndsTheConnection) {
  LogCapture logs;
  Peer peer;
  auto rec = std::make_shared<Recorder>();
  auto c = make(peer.address(), rec);
  ASSERT_TRUE(c);
  c->set_auto_reconnect(false);
  ASSERT_TRUE(c->start().ok());
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);
  auto good = test::wire(test::make_packet(1, {1, 2, 3, 4}));
  auto bad = good;
  bad[5] = 12;  // undefined kind
  good.insert(good.end(), bad.begin(), bad.end());
  ASSERT_TRUE(test::write_all(fd, good));
  ASSERT_TRUE(rec->wait_states(2, 5s));
  EXPECT_EQ(rec->states(), seq({State::Connected, State::Disconnected}));
  EXPECT_TRUE(logs.contains("failed to decode packet: Unknown Kind(12)"));
  ASSERT_EQ(rec->packets().size(), 1u);  // the packet before it still arrived
  ::close(fd);
  (void)c->shutdown();
}

}  // namespace
}  // namespace mok::fxt::client
