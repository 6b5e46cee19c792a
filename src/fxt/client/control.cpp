// Activity clock of Control: plain monotonic microseconds in one atomic word.
#include "fxt/client/control.hpp"

#include "common/clock.hpp"

namespace mok::fxt::client {

Control::Control() noexcept : last_activity_us_(monotonic_us()) {}

// Relaxed: a time stamp orders nothing, and the read loop stores it once per read.
void Control::update_activity() noexcept { last_activity_us_.store(monotonic_us(), std::memory_order_relaxed); }

std::chrono::nanoseconds Control::last_activity_elapsed() const noexcept {
  const uint64_t now = monotonic_us();
  const uint64_t last = last_activity_us_.load();
  const uint64_t us = now > last ? now - last : 0;
  return std::chrono::seconds(us / 1'000'000) + std::chrono::nanoseconds((us % 1'000'000) * 1'000);
}

}  // namespace mok::fxt::client
