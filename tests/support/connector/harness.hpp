// Test harness for the connector: a listener on 127.0.0.1 (support/loopback.hpp)
// the test accepts from, a Handler that records what it is given, and a capture
// of the transport's log records. Every wait is bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime.hpp"
#include "fxt/client/connector.hpp"
#include "fxt/client/handler.hpp"
#include "fxt/packet/packet.hpp"
#include "support/eventually.hpp"
#include "support/loopback.hpp"

namespace mok::test {

using namespace std::chrono_literals;

// The runtime every connector test runs on; never destroyed.
Runtime& test_runtime();

// Wire bytes of a packet.
std::vector<uint8_t> wire(const fxt::Packet& p);
fxt::Packet make_packet(uint16_t stream_id, std::vector<uint8_t> payload, uint64_t seq = 0);

class Recorder : public fxt::client::Handler {
 public:
  Recorder();
  ~Recorder() override;
  void on_packet(fxt::PacketPtr& packet) noexcept override;
  void on_state(fxt::State state) noexcept override;

  // Runs inside on_state, before the state is recorded.
  void set_state_hook(std::function<void(fxt::State)> hook);
  // True once `n` states were recorded.
  bool wait_states(std::size_t n, std::chrono::milliseconds timeout);
  bool wait_packets(std::size_t n, std::chrono::milliseconds timeout);
  std::vector<fxt::State> states();
  // When each state's report began, in the reporting task.
  std::vector<std::chrono::steady_clock::time_point> times();
  std::vector<fxt::PacketPtr> packets();
  // Set while on_state runs for this handler: two reports never overlap.
  bool overlapped() const { return overlapped_; }

  static int live();  // Recorders not yet destroyed

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<fxt::State> states_;
  std::vector<std::chrono::steady_clock::time_point> times_;
  std::vector<fxt::PacketPtr> packets_;
  std::function<void(fxt::State)> hook_;
  bool in_state_ = false;
  bool overlapped_ = false;
};

// Records every transport log line (Debug and up) while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // True once `n` lines starting with `prefix` were logged.
  bool wait_for(const std::string& prefix, std::chrono::milliseconds timeout, std::size_t n = 1);
  bool contains(const std::string& prefix);

  void add(std::string line);

 private:
  bool contains_locked(const std::string& prefix) const;

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// Timings short enough that a test sees a reconnect or a time-out within a
// second: reconnect after 100 ms, give up a connect, a silence or a write
// after 300 ms.
fxt::client::ConnectorOptions fast_timings();

// A connector on the test runtime, or null (with a test failure).
std::shared_ptr<fxt::client::Connector> make_connector(const std::string& address, std::shared_ptr<Recorder> rec,
                                                       const fxt::client::ConnectorOptions& options = {});
// Retries while the connector is between Connected and its loops starting.
bool send_until_accepted(fxt::client::Connector& c, const fxt::Packet& p);

// A connector aimed at a fresh peer. At the end the peer's end is closed and
// the connector shut down.
struct Session {
  Listener peer;
  std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
  std::shared_ptr<fxt::client::Connector> connector;
  int fd = -1;                            // the peer's end of the current connection
  fxt::client::ConnectorOptions options;  // set before create()

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Creates the connector with the given auto-reconnect setting.
  ::testing::AssertionResult create(bool auto_reconnect = true);
  // Starts it, accepts its connection and waits for Connected.
  ::testing::AssertionResult connect();
  // create() then connect().
  ::testing::AssertionResult open(bool auto_reconnect = true);
};

}  // namespace mok::test
