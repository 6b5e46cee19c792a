// FlushTracker: the write path adds and wakes a waiter only when one waits.
// A waiter registers before it checks, and the counters are sequentially
// consistent, so either the writer sees the waiter and wakes it or the waiter
// sees the new count.
#include "fxt/client/flush.hpp"

namespace mok::fxt::client {

void FlushTracker::written() noexcept {
  written_.fetch_add(1);
  if (waiters_.load() != 0) wake();
}

void FlushTracker::lost(uint64_t n) noexcept {
  lost_.fetch_add(n);
  if (waiters_.load() != 0) wake();
}

void FlushTracker::lose_outstanding() noexcept {
  const uint64_t settled = written_.load() + lost_.load();
  const uint64_t accepted = accepted_.load();
  if (accepted > settled) lost(accepted - settled);
}

void FlushTracker::wake() noexcept {
  try {
    std::lock_guard g(lock_);
  } catch (...) {
    // A lock that cannot be taken: the waiter still ends at its time-out.
  }
  changed_.notify_all();
}

FlushTracker::Outcome FlushTracker::wait(std::chrono::nanoseconds timeout, const std::function<bool()>& up) {
  const uint64_t target = accepted_.load();
  const uint64_t lost_before = lost_.load();
  if (!up()) return Outcome::NotConnected;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  waiters_.fetch_add(1);
  std::unique_lock g(lock_);
  Outcome outcome = Outcome::TimedOut;
  for (;;) {
    if (lost_.load() != lost_before) {
      outcome = Outcome::Lost;
      break;
    }
    if (written_.load() + lost_.load() >= target) {
      outcome = Outcome::Flushed;
      break;
    }
    if (!up()) {
      outcome = Outcome::NotConnected;
      break;
    }
    if (changed_.wait_until(g, deadline) == std::cv_status::timeout) {
      // One last look: the final packet may have gone just now.
      if (written_.load() + lost_.load() >= target && lost_.load() == lost_before) {
        outcome = Outcome::Flushed;
      }
      break;
    }
  }
  g.unlock();
  waiters_.fetch_sub(1);
  return outcome;
}

}  // namespace mok::fxt::client
