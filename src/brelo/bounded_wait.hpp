// Condition-variable waits with a time-out that may mean "no limit": the
// host's blocking calls (parameters, snapshots, queued scan results) all wait
// this way, so a huge time-out never overflows the steady clock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace mok::brelo {

// Waits on `cv` until `pred` holds, for at most `timeout` in total: the
// deadline is fixed once, so spurious wake-ups do not extend it. Zero or less
// only checks; a time-out the steady clock cannot represent waits without
// limit. Returns pred()'s last value.
template <class Pred>
bool wait_bounded(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                  std::chrono::nanoseconds timeout, Pred pred) {
  using Clock = std::chrono::steady_clock;
  if (timeout <= std::chrono::nanoseconds::zero()) {
    return pred();
  }
  const auto now = Clock::now();
  if (timeout >= Clock::time_point::max() - now) {
    cv.wait(lock, pred);
    return true;
  }
  return cv.wait_until(lock, now + timeout, pred);
}

// Milliseconds from the C interface; values beyond the clock's range become
// the largest time-out, which wait_bounded treats as no limit.
inline std::chrono::nanoseconds millis_to_nanos(std::uint64_t ms) noexcept {
  constexpr auto kMaxMs = static_cast<std::uint64_t>(std::chrono::nanoseconds::max().count() / 1'000'000);
  return ms > kMaxMs ? std::chrono::nanoseconds::max() : std::chrono::milliseconds(ms);
}

}  // namespace mok::brelo
