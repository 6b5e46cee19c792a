// The transport's TCP client: one Connector per device address. It owns the
// Control block, the command channel, the outbound queue and the owner's
// Handler, and runs a connector loop on a Runtime that connects on start,
// reconnects after a loss or failure and ends only on shutdown.
// Its timings come from ConnectorOptions (the defaults unless set before the
// first start). Callers never block: start, stop, shutdown and send set flags, post a
// command or queue a packet, and return.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <sys/socket.h>

#include "common/result.hpp"
#include "fxt/client/channels.hpp"
#include "fxt/client/control.hpp"
#include "fxt/client/flush.hpp"
#include "fxt/client/handler.hpp"
#include "fxt/client/options.hpp"
#include "fxt/client/stats.hpp"
#include "fxt/error.hpp"
#include "fxt/event.hpp"
#include "fxt/packet/packet.hpp"
#include "fxt/state.hpp"

namespace mok {
class Runtime;
}

namespace mok::fxt::client {

// Log target of the connector and its loops.
inline constexpr const char* kTcpTarget = "mok_fxt::client::tcp";

enum class Commands : uint8_t { Shutdown = 0, Start = 1, Stop = 2 };

inline constexpr std::size_t kCommandCapacity = 8;
inline constexpr std::size_t kQueueCapacity = 100;

using CommandChannel = Broadcast<Commands>;
using EventQueue = Bounded<Event>;

// What the connector's operations report: a transport Error wrapped
// unchanged (NotReady), a failure of its channels ("channel closed", "no
// available capacity"), or a failure to resolve the address at creation.
class ConnectorError {
 public:
  enum class Kind { Transport, ChannelClosed, NoCapacity, Resolve };

  ConnectorError(Error e) : kind_(Kind::Transport), transport_(std::move(e)) {}  // NOLINT
  ConnectorError(SendError e)                                                    // NOLINT
      : kind_(e.kind == SendError::Kind::Closed ? Kind::ChannelClosed : Kind::NoCapacity),
        transport_(Error::not_ready()) {}
  static ConnectorError resolve(std::string text);

  Kind kind() const noexcept { return kind_; }
  bool is_not_ready() const noexcept {
    return kind_ == Kind::Transport && transport_.code() == Error::Code::NotReady;
  }
  // The wrapped transport error (Kind::Transport only).
  const Error& transport() const noexcept { return transport_; }
  // "Not Ready", "channel closed", "no available capacity", "Unable to
  // resolve domain", ...
  std::string display() const;

 private:
  Kind kind_;
  Error transport_;
  std::string text_;
};

class Connector {
 public:
  // Resolves `address` ("host:port", "1.2.3.4:port" or "[v6]:port") with the
  // system resolver on the calling thread (first address only), then starts
  // the connector loop on `runtime`, idle until start(). The runtime must
  // outlive the connector's tasks. Fails with Kind::Resolve.
  static Result<std::shared_ptr<Connector>, ConnectorError> create(Runtime& runtime, std::string_view address,
                                                                   std::shared_ptr<Handler> handler);

  // Performs shutdown() (outcome ignored). The loops hold references, so
  // this runs only after the connector loop has ended.
  ~Connector();
  Connector(const Connector&) = delete;
  Connector& operator=(const Connector&) = delete;

  // NotReady after a shutdown; "channel closed" once the loop has ended.
  Result<void, ConnectorError> start();
  // NotReady after a shutdown; "channel closed" once the loop has ended.
  Result<void, ConnectorError> stop();
  // Fails only when the loop has already ended ("channel closed"). Does not
  // wait: the handler still sees ShuttingDown, Disconnected, Terminated.
  Result<void, ConnectorError> shutdown();

  // Queues a packet for the write loop without waiting. NotReady before the
  // first Connected (and inside its callback), while a connection is torn
  // down and after stop or shutdown; "no available capacity" with 100
  // packets waiting. The packet is dropped on failure.
  Result<void, ConnectorError> send(Packet packet);
  Result<void, ConnectorError> send(PacketPtr packet);

  // Waits until every packet queued before the call has been written to the
  // socket, at most `timeout`. Blocks the caller: not for the handler's
  // callbacks, which run on the loops that do the writing.
  FlushTracker::Outcome flush(std::chrono::nanoseconds timeout);
  // The write loop's and the connector loop's accounting of queued packets.
  FlushTracker& flush_tracker() noexcept { return flush_; }

  bool is_auto_reconnect() const noexcept { return control_.is_auto_reconnect(); }
  void set_auto_reconnect(bool on) noexcept { control_.set_auto_reconnect(on); }
  // Replaces the timings; refused with a text once the connector was first
  // started (its loops read them without a lock from then on) or when a
  // timing lies outside its range (see check()).
  Result<void, std::string> set_options(const ConnectorOptions& options);
  // The timings in force. Read by the loops only after the first start.
  const ConnectorOptions& options() const noexcept { return options_; }
  std::chrono::nanoseconds reconnect_delay() const noexcept { return options_.reconnect_delay; }

  // Publishes one state to the handler, on the calling task. Only the
  // connector loop calls it, so reports never overlap.
  void emit_state(State state) noexcept;

  // The resolved address as log lines show it: "127.0.0.1:6833", "[::1]:80".
  const std::string& address() const noexcept { return addr_text_; }
  Control& control() noexcept { return control_; }
  const Control& control() const noexcept { return control_; }
  Handler& handler() noexcept { return *handler_; }
  // Counters and last failure; shared so that an owner may keep them.
  ConnStats& stats() noexcept { return *stats_; }
  const std::shared_ptr<ConnStats>& shared_stats() const noexcept { return stats_; }
  // The counters with the outbound queue's current depth.
  ConnStatsSnapshot stats_snapshot() const noexcept;

  // The current connection's read and write loops register their wakers
  // here (slot 0 and 1) before they first poll. force_exit() sets the flag
  // and then wakes them, so a loop ends at once, also one that subscribed to
  // the commands too late to see a Stop or Shutdown: it either is woken or
  // finds the flag set when it polls.
  void register_loop_waker(std::size_t slot, const std::shared_ptr<Waker>& waker);
  void force_exit() noexcept;

  // Loops and the connector's own reconnect use these.
  CommandChannel::Sender& command_tx() noexcept { return command_tx_; }
  EventQueue::Sender& event_tx() noexcept { return event_tx_; }
  const sockaddr_storage& addr() const noexcept { return addr_; }
  socklen_t addr_len() const noexcept { return addr_len_; }

 private:
  Connector(const sockaddr_storage& addr, socklen_t addr_len, std::shared_ptr<Handler> handler,
            CommandChannel::Sender command_tx, EventQueue::Sender event_tx);
  Result<std::size_t, ConnectorError> send_command(Commands c);

  sockaddr_storage addr_;
  socklen_t addr_len_;
  std::string addr_text_;
  std::shared_ptr<Handler> handler_;
  CommandChannel::Sender command_tx_;
  EventQueue::Sender event_tx_;
  Control control_;
  // Written only before the first start, under options_lock_; start() sets
  // options_fixed_ under the same lock before it sets `started`, and every
  // reader runs after it has seen `started`.
  std::mutex options_lock_;
  bool options_fixed_ = false;
  ConnectorOptions options_;
  std::shared_ptr<ConnStats> stats_ = std::make_shared<ConnStats>();
  FlushTracker flush_;
  std::mutex loop_wakers_lock_;
  std::array<std::weak_ptr<Waker>, 2> loop_wakers_;
};

// Resolves "host:port" to its first address; exposed for tests.
Result<std::pair<sockaddr_storage, socklen_t>, ConnectorError> resolve_first(std::string_view address);
// "1.2.3.4:80" or "[::1]:80".
std::string format_address(const sockaddr_storage& addr);

}  // namespace mok::fxt::client
