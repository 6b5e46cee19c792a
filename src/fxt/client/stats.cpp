// ConnStats: the disconnect accounting and the copy handed to readers.
#include "fxt/client/stats.hpp"

#include "common/clock.hpp"

namespace mok::fxt::client {

ConnStats::ConnStats() noexcept : state_since_us_(monotonic_us()) {}

bool ConnStats::end_connection(DisconnectCause cause, std::string_view reason) {
  auto expected = static_cast<uint8_t>(DisconnectCause::None);
  if (cause == DisconnectCause::None || !cause_.compare_exchange_strong(expected, static_cast<uint8_t>(cause))) {
    return false;
  }
  // The reason first: a reader that sees the disconnect counted must find
  // its text (the release pairs with the acquiring load in snapshot()).
  if (!reason.empty()) record_failure(reason);
  disconnects_[static_cast<std::size_t>(cause)].fetch_add(1, std::memory_order_release);
  return true;
}

void ConnStats::enter_state(State s) noexcept {
  state_since_us_.store(monotonic_us(), std::memory_order_relaxed);
  state_.store(static_cast<uint32_t>(s), std::memory_order_relaxed);
}

void ConnStats::record_failure(std::string_view text) {
  std::lock_guard g(failure_lock_);
  failure_.emplace(text);
}

std::optional<std::string> ConnStats::last_failure() const {
  std::lock_guard g(failure_lock_);
  return failure_;
}

ConnStatsSnapshot ConnStats::snapshot(uint64_t queue_depth) const noexcept {
  auto get = [](const Counter& c) { return c.load(std::memory_order_relaxed); };
  ConnStatsSnapshot s;
  s.state = static_cast<State>(state_.load(std::memory_order_relaxed));
  const uint64_t since = state_since_us_.load(std::memory_order_relaxed);
  const uint64_t now = monotonic_us();
  s.time_in_state_ms = now > since ? (now - since) / 1000 : 0;
  s.connect_attempts = get(connect_attempts);
  s.connections_established = get(connections_established);
  for (std::size_t i = 0; i < kDisconnectCauses; ++i) {
    s.disconnects[i] = disconnects_[i].load(std::memory_order_acquire);
  }
  s.bytes_received = get(bytes_received);
  s.bytes_sent = get(bytes_sent);
  s.packets_received = get(packets_received);
  s.packets_sent = get(packets_sent);
  s.send_refused_not_connected = get(send_refused_not_connected);
  s.send_refused_queue_full = get(send_refused_queue_full);
  s.queue_depth = queue_depth;
  return s;
}

}  // namespace mok::fxt::client
