// A connector's counters and the text of its last failure. The loops bump
// the counters with relaxed atomic adds only, so counting costs the receive
// path no lock and no ordering; readers copy each counter on its own, so a
// copy is exact per counter but not one instant across counters.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "fxt/state.hpp"

namespace mok::fxt::client {

// Why an established connection ended; each connection counts exactly one.
enum class DisconnectCause : uint8_t {
  None = 0,
  RemoteClose = 1,   // end of stream or a socket error on the read side
  Inactivity = 2,    // nothing received or written for the time-out
  DecodeError = 3,   // the framer refused the stream
  WriteFailure = 4,  // a write failed or timed out
  Stop = 5,          // stop, shutdown or the partner loop's exit
};
inline constexpr std::size_t kDisconnectCauses = 6;

struct ConnStatsSnapshot {
  State state = State::Idle;
  uint64_t time_in_state_ms = 0;
  uint64_t connect_attempts = 0;
  uint64_t connections_established = 0;
  std::array<uint64_t, kDisconnectCauses> disconnects{};  // indexed by DisconnectCause
  uint64_t bytes_received = 0;
  uint64_t bytes_sent = 0;
  uint64_t packets_received = 0;
  uint64_t packets_sent = 0;
  uint64_t send_refused_not_connected = 0;
  uint64_t send_refused_queue_full = 0;
  uint64_t queue_depth = 0;

  uint64_t disconnects_by(DisconnectCause c) const noexcept { return disconnects[static_cast<std::size_t>(c)]; }
};

class ConnStats {
 public:
  using Counter = std::atomic<uint64_t>;

  ConnStats() noexcept;
  ConnStats(const ConnStats&) = delete;
  ConnStats& operator=(const ConnStats&) = delete;

  static void bump(Counter& c, uint64_t n = 1) noexcept { c.fetch_add(n, std::memory_order_relaxed); }
  // For a counter that one thread at a time writes (the read loop's, once
  // per packet): a plain load and store instead of a locked add. Readers
  // still see whole values.
  static void bump_own(Counter& c, uint64_t n = 1) noexcept {
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }

  Counter connect_attempts{0};
  Counter connections_established{0};
  Counter bytes_received{0};
  Counter bytes_sent{0};
  Counter packets_received{0};
  Counter packets_sent{0};
  Counter send_refused_not_connected{0};
  Counter send_refused_queue_full{0};

  // A new connection: its end is not yet accounted for.
  void begin_connection() noexcept { cause_.store(static_cast<uint8_t>(DisconnectCause::None)); }
  // The first loop to end decides the cause; later calls for the same
  // connection count nothing. A non-empty reason becomes the last failure.
  // True when this call decided.
  bool end_connection(DisconnectCause cause, std::string_view reason = {});

  // The state last reported and since when.
  void enter_state(State s) noexcept;

  void record_failure(std::string_view text);
  // Empty before the first failure.
  std::optional<std::string> last_failure() const;

  // `queue_depth` comes from the owner, which holds the queue.
  ConnStatsSnapshot snapshot(uint64_t queue_depth) const noexcept;

 private:
  std::atomic<uint8_t> cause_{static_cast<uint8_t>(DisconnectCause::None)};
  std::array<Counter, kDisconnectCauses> disconnects_{};
  std::atomic<uint32_t> state_{static_cast<uint32_t>(State::Idle)};
  std::atomic<uint64_t> state_since_us_;
  mutable std::mutex failure_lock_;
  std::optional<std::string> failure_;
};

}  // namespace mok::fxt::client
