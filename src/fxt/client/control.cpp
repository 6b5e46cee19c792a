// Activity clock of Control: steady-clock microseconds in one atomic word.
#include "fxt/client/control.hpp"

namespace mok::fxt::client {

namespace {

uint64_t micros(std::chrono::steady_clock::time_point t) noexcept {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}

}  // namespace

Control::Control() noexcept : last_activity_us_(micros(std::chrono::steady_clock::now())) {}

void Control::update_activity() noexcept { update_activity(std::chrono::steady_clock::now()); }

// Relaxed: a time stamp orders nothing, and the read loop stores it once per read.
void Control::update_activity(std::chrono::steady_clock::time_point now) noexcept {
  last_activity_us_.store(micros(now), std::memory_order_relaxed);
}

std::chrono::nanoseconds Control::last_activity_elapsed() const noexcept {
  const uint64_t now = micros(std::chrono::steady_clock::now());
  const uint64_t last = last_activity_us_.load();
  const uint64_t us = now > last ? now - last : 0;
  return std::chrono::seconds(us / 1'000'000) + std::chrono::nanoseconds((us % 1'000'000) * 1'000);
}

}  // namespace mok::fxt::client
