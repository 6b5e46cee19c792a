// Connector cases that wait for the reconnect delay or a time-out, run with
// millisecond timings (fast_timings) set through the connector's options.
// Durations are only checked where the code guarantees a lower bound.
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fxt/client/connector.hpp"
#include "support/connector/harness.hpp"
#include "support/process_figures.hpp"

namespace mok::fxt::client {
namespace {

using namespace std::chrono_literals;
using test::Listener;
using test::LogCapture;
using test::Recorder;
using test::Session;
using Clock = std::chrono::steady_clock;

using States = std::vector<State>;

TEST(ConnectorTiming, DecodeErrorReconnectsAfterTheDelay) {
  LogCapture logs;
  Session s;
  s.options = test::fast_timings();
  s.options.inactivity_timeout = 10s;  // the new connection must stay up
  ASSERT_TRUE(s.open());
  auto bad = test::wire(test::make_packet(1, {1, 2, 3, 4}));
  bad[0] = bad[1] = bad[2] = 0;
  bad[3] = 3;  // length 3
  ASSERT_TRUE(test::write_all(s.fd, bad));
  ASSERT_TRUE(s.rec->wait_states(2, 5s));
  EXPECT_TRUE(logs.contains("failed to decode packet: Length Too Small(3 < 4)"));
  ::close(s.fd);
  s.fd = s.peer.accept(5s);  // kept open: the new connection must stay up
  ASSERT_GE(s.fd, 0);
  ASSERT_TRUE(s.rec->wait_states(4, 5s));
  // The delay restarts after the Disconnected report.
  EXPECT_GE(s.rec->times()[2] - s.rec->times()[1], s.options.reconnect_delay);
  EXPECT_EQ(s.rec->states(),
            (States{State::Connected, State::Disconnected, State::Reconnecting, State::Connected}));
}

// A connector with auto-reconnect on and the same timings as `s`, connected,
// whose connection is then dropped: once it is back, the reconnect delay has
// passed for `s` too, which had lost its connection before.
void reconnect_control(const Session& s) {
  Session control;
  control.options = s.options;
  ASSERT_TRUE(control.open());
  ::close(control.fd);
  control.fd = control.peer.accept(5s);
  ASSERT_GE(control.fd, 0) << "the control connector never came back";
}

TEST(ConnectorTiming, NoReconnectWhenAutoReconnectIsOff) {
  Session s;
  s.options = test::fast_timings();
  s.options.inactivity_timeout = 10s;
  ASSERT_TRUE(s.open());
  s.connector->set_auto_reconnect(false);
  ::close(s.fd);
  s.fd = -1;
  ASSERT_TRUE(s.rec->wait_states(2, 5s));
  reconnect_control(s);
  EXPECT_FALSE(s.peer.accepts_within(0ms));
  EXPECT_EQ(s.rec->states(), (States{State::Connected, State::Disconnected}));
  // A start still connects.
  EXPECT_TRUE(s.connect());
}

TEST(ConnectorTiming, StopWhileConnectedReportsOneDisconnectedAndNoReconnect) {
  Session s;
  s.options = test::fast_timings();
  ASSERT_TRUE(s.open());
  ASSERT_TRUE(s.connector->stop().ok());
  ASSERT_TRUE(s.rec->wait_states(2, 5s));
  EXPECT_TRUE(test::wait_eof(s.fd));
  reconnect_control(s);
  EXPECT_FALSE(s.peer.accepts_within(0ms));
  EXPECT_EQ(s.rec->states(), (States{State::Connected, State::Disconnected}));
  EXPECT_TRUE(s.connector->send(test::make_packet(1, {1, 2, 3, 4})).error().is_not_ready());
}

TEST(ConnectorTiming, RefusedPortFailsAndRetriesEveryDelay) {
  LogCapture logs;
  const std::string addr = "127.0.0.1:" + std::to_string(test::refused_port());
  auto rec = std::make_shared<Recorder>();
  const auto timings = test::fast_timings();
  auto c = test::make_connector(addr, rec, timings);
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->start().ok());
  ASSERT_TRUE(rec->wait_states(3, 5s));
  EXPECT_GE(rec->times()[1] - rec->times()[0], timings.reconnect_delay);
  EXPECT_EQ(rec->states(), (States{State::ConnectFailed, State::Reconnecting, State::ConnectFailed}));
  EXPECT_TRUE(logs.contains("connect " + addr + " failed: "));
  (void)c->shutdown();
  ASSERT_TRUE(rec->wait_states(6, 5s));
  EXPECT_EQ(rec->states().back(), State::Terminated);
}

TEST(ConnectorTiming, ConnectThatHangsTimesOut) {
  LogCapture logs;
  // A listener that never accepts, its backlog filled: further handshakes
  // are not answered and a connect hangs.
  Listener peer(0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int fd = test::connect_loopback(peer.port(), SOCK_NONBLOCK);
    (void)test::wait_ready(fd, POLLOUT, std::chrono::steady_clock::now() + 200ms);
    fillers.push_back(fd);
  }
  auto rec = std::make_shared<Recorder>();
  const auto timings = test::fast_timings();
  auto c = test::make_connector(peer.address(), rec, timings);
  ASSERT_TRUE(c);
  const auto started = Clock::now();
  ASSERT_TRUE(c->start().ok());
  // Posted during the attempt, the shutdown takes effect when it ends.
  ASSERT_TRUE(logs.wait_for("connecting to " + peer.address(), 5s));
  ASSERT_TRUE(c->shutdown().ok());
  ASSERT_TRUE(rec->wait_states(4, 5s));
  EXPECT_GE(rec->times()[0] - started, timings.connect_timeout);
  EXPECT_EQ(rec->states(),
            (States{State::ConnectTimeout, State::ShuttingDown, State::Disconnected, State::Terminated}));
  EXPECT_TRUE(logs.contains("connect " + peer.address() + " timed out"));
  for (int fd : fillers) ::close(fd);
}

TEST(ConnectorTiming, SilentPeerTimesOutForInactivity) {
  LogCapture logs;
  Session s;
  s.options = test::fast_timings();
  ASSERT_TRUE(s.open(false));
  ASSERT_TRUE(s.rec->wait_states(2, 5s));
  // Connected is reported before the connection's activity time is set.
  EXPECT_GT(s.rec->times()[1] - s.rec->times()[0], s.options.inactivity_timeout);
  EXPECT_TRUE(logs.contains("connection timed out due to inactivity"));
  EXPECT_EQ(s.rec->states(), (States{State::Connected, State::Disconnected}));
}

// A payload far beyond what the socket buffers hold, so that the write loop
// blocks in it once the peer has read the head and stops reading.
void block_writer(Session& s) {
  ASSERT_TRUE(
      test::send_until_accepted(*s.connector, test::make_packet(1, std::vector<uint8_t>(32u << 20, 0x5A))));
  ASSERT_TRUE(test::read_exact(s.fd, 24).has_value());
}

TEST(ConnectorTiming, StalledPeerFillsTheQueueAndTimesTheWriteOut) {
  LogCapture logs;
  Session s;
  s.options = test::fast_timings();
  s.options.inactivity_timeout = 10s;  // only the stalled write may end it
  s.options.write_timeout = 500ms;     // time to fill the queue first
  ASSERT_TRUE(s.open(false));
  block_writer(s);
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(s.connector->send(test::make_packet(2, {1, 2, 3, 4})).ok()) << i;
  }
  auto refused = s.connector->send(test::make_packet(2, {1, 2, 3, 4}));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().display(), "no available capacity");

  EXPECT_TRUE(logs.wait_for("failed to send packet: write timed out", 5s));
  ASSERT_TRUE(s.rec->wait_states(2, 5s));
  EXPECT_EQ(s.rec->states(), (States{State::Connected, State::Disconnected}));
}

TEST(ConnectorTiming, FlushWaitsUntilQueuedPacketsAreWrittenAndFailsWithoutAConnection) {
  Session s;
  ASSERT_TRUE(s.create(false));
  EXPECT_EQ(s.connector->flush(50ms), FlushTracker::Outcome::NotConnected);
  ASSERT_TRUE(s.connect());
  ASSERT_TRUE(test::send_until_accepted(*s.connector, test::make_packet(1, {1, 2, 3, 4})));
  EXPECT_EQ(s.connector->flush(5s), FlushTracker::Outcome::Flushed);
  EXPECT_EQ(s.connector->flush(0ms), FlushTracker::Outcome::Flushed);  // nothing left
  // Behind a write the peer does not read, a flush times out; once the peer
  // reads everything it completes.
  block_writer(s);
  ASSERT_TRUE(s.connector->send(test::make_packet(2, {5, 6, 7, 8})).ok());
  EXPECT_EQ(s.connector->flush(100ms), FlushTracker::Outcome::TimedOut);
  std::thread drain([&] { (void)test::read_exact(s.fd, (32u << 20) + 28, 10s); });
  EXPECT_EQ(s.connector->flush(5s), FlushTracker::Outcome::Flushed);
  drain.join();
  // A connection that goes down with packets queued ends the wait at once.
  block_writer(s);
  ::close(s.fd);
  s.fd = -1;
  EXPECT_NE(s.connector->flush(5s), FlushTracker::Outcome::Flushed);
}

TEST(ConnectorTiming, PacketsQueuedBeforeALossAreWrittenFirstAfterReconnect) {
  Session s;
  s.options = test::fast_timings();
  s.options.inactivity_timeout = 10s;
  s.options.write_timeout = 10s;
  ASSERT_TRUE(s.open());
  block_writer(s);
  const Packet b = test::make_packet(2, {0xB, 0xB, 0xB, 0xB}, 2);
  const Packet c = test::make_packet(3, {0xC, 0xC, 0xC, 0xC, 0xC}, 3);
  ASSERT_TRUE(s.connector->send(b).ok());
  ASSERT_TRUE(s.connector->send(c).ok());
  ::close(s.fd);  // unread data: the connection is reset under the writer
  s.fd = -1;
  ASSERT_TRUE(s.rec->wait_states(2, 5s));
  s.fd = s.peer.accept(5s);
  ASSERT_GE(s.fd, 0);
  ASSERT_TRUE(s.rec->wait_states(4, 5s));
  const Packet d = test::make_packet(4, {0xD, 0xD, 0xD, 0xD}, 4);
  ASSERT_TRUE(test::send_until_accepted(*s.connector, d));
  std::vector<uint8_t> expected;
  for (const Packet* p : {&b, &c, &d}) {
    auto w = test::wire(*p);
    expected.insert(expected.end(), w.begin(), w.end());
  }
  auto got = test::read_exact(s.fd, expected.size());
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, expected);
}

TEST(ConnectorTiming, DefaultsHoldUntilSetAndAreFixedOnceStarted) {
  const std::string addr = "127.0.0.1:" + std::to_string(test::refused_port());
  auto rec = std::make_shared<Recorder>();
  auto c = test::make_connector(addr, rec);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->reconnect_delay(), 5s);
  EXPECT_EQ(c->options().connect_timeout, 10s);
  EXPECT_EQ(c->options().inactivity_timeout, 10s);
  EXPECT_EQ(c->options().write_timeout, 10s);
  ConnectorOptions bad;
  bad.write_timeout = 1ms;
  EXPECT_FALSE(c->set_options(bad).ok());
  EXPECT_EQ(c->options().write_timeout, 10s);
  ASSERT_TRUE(c->start().ok());
  auto late = c->set_options(test::fast_timings());
  ASSERT_FALSE(late.ok());
  EXPECT_EQ(late.error(), "timings can only be set before the first start");
  EXPECT_EQ(c->reconnect_delay(), 5s);
  (void)c->shutdown();
  ASSERT_TRUE(rec->wait_states(4, 5s));
}

TEST(ConnectorTiming, ThousandConnectorsLeaveNothingBehind) {
  const std::string refused = "127.0.0.1:" + std::to_string(test::refused_port());
  {
    // The runtime's own descriptors (epoll, wake-up, timers) open on first use.
    auto rec = std::make_shared<Recorder>();
    auto c = test::make_connector(refused, rec);
    ASSERT_TRUE(c && c->start().ok() && c->shutdown().ok());
    ASSERT_TRUE(rec->wait_states(4, 20s));
  }
  ASSERT_TRUE(test::eventually([] { return Recorder::live() == 0; }));
  const std::size_t fds = test::open_fds();
  const std::size_t threads = test::thread_count();
  {
    std::vector<std::shared_ptr<Recorder>> started;
    for (int i = 0; i < 1000; ++i) {
      auto rec = std::make_shared<Recorder>();
      auto c = test::make_connector(refused, rec);
      ASSERT_TRUE(c);
      if (i % 10 == 0) {
        ASSERT_TRUE(c->start().ok());
        started.push_back(rec);
      }
      ASSERT_TRUE(c->shutdown().ok());
    }
    for (auto& rec : started) ASSERT_TRUE(rec->wait_states(3, 20s));
  }
  // Connectors and their handlers go when their loops end.
  EXPECT_TRUE(test::eventually([] { return Recorder::live() == 0; }));
  EXPECT_TRUE(test::eventually([&] { return test::open_fds() <= fds; }));
  EXPECT_EQ(test::open_fds(), fds);
  EXPECT_EQ(test::thread_count(), threads);
}

}  // namespace
}  // namespace mok::fxt::client
