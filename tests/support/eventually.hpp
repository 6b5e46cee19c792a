// The one bounded wait of the test suite: polls a predicate with a short
// sleep until it holds or a deadline passes. Tests wait for a positive
// signal with it rather than sleeping a fixed time.
#pragma once

#include <chrono>
#include <thread>

namespace mok::test {

inline constexpr std::chrono::milliseconds kEventually{10000};

// True as soon as `pred()` holds; false if it still does not once `bound`
// has passed (checked one last time at the deadline).
template <class Pred>
bool eventually(Pred&& pred, std::chrono::milliseconds bound = kEventually) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace mok::test
