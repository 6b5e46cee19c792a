// The connector's block of atomic flags and last-activity time (its timings
// live in ConnectorOptions), shared without a lock by the connector loop, the read and write loops
// and the callers' threads. Every setter is a sequentially consistent store.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace mok::fxt::client {

class Control {
 public:
  // Activity time now; the other fields at their defaults.
  Control() noexcept;

  bool is_started() const noexcept { return started_.load(); }
  bool is_stopped() const noexcept { return stopped_.load(); }
  bool is_connected() const noexcept { return connected_.load(); }
  bool is_force_exit() const noexcept { return force_exit_.load(); }
  bool is_auto_reconnect() const noexcept { return auto_reconnect_.load(); }
  bool is_shutdown_requested() const noexcept { return shutdown_requested_.load(); }

  void set_started(bool v) noexcept { started_.store(v); }
  void set_stopped(bool v) noexcept { stopped_.store(v); }
  void set_connected(bool v) noexcept { connected_.store(v); }
  void set_force_exit(bool v) noexcept { force_exit_.store(v); }
  void set_auto_reconnect(bool v) noexcept { auto_reconnect_.store(v); }
  void set_shutdown_requested() noexcept { shutdown_requested_.store(true); }

  // Records traffic now.
  void update_activity() noexcept;
  // The same with a time the caller has just read from the steady clock.
  void update_activity(std::chrono::steady_clock::time_point now) noexcept;
  // Time since the last traffic; zero if the stored time lies ahead of now.
  std::chrono::nanoseconds last_activity_elapsed() const noexcept;

 private:
  std::atomic<uint64_t> last_activity_us_;
  std::atomic<bool> auto_reconnect_{true};
  std::atomic<bool> connected_{false};
  std::atomic<bool> force_exit_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> shutdown_requested_{false};
};

}  // namespace mok::fxt::client
