// Flush accounting of a connector's outbound queue: how many packets were
// accepted, written completely, or lost, so that a sender can wait until
// everything it queued before a point has left through the socket. Counting
// costs the write path one atomic add; only a waiting flush takes a lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace mok::fxt::client {

class FlushTracker {
 public:
  enum class Outcome {
    Flushed,       // every packet accepted before the wait was written
    Lost,          // one of them will never be written (its write failed)
    NotConnected,  // the connection is not up (or is going down) with packets left
    TimedOut,
  };

  // A packet entered the queue.
  void accepted() noexcept { accepted_.fetch_add(1); }
  // The write loop wrote a packet completely.
  void written() noexcept;
  // Packets taken from the queue that will never be written.
  void lost(uint64_t n = 1) noexcept;
  // Everything accepted and not yet written is gone (a queue end was lost).
  void lose_outstanding() noexcept;
  // The connection's state changed: waiters look at `up` again.
  void wake() noexcept;

  // Waits until the packets accepted before the call have all been written,
  // at most `timeout`; `up` tells whether the connection can still write.
  // NotConnected at once when it cannot. Packets lost before the call were
  // reported with their connection's end and do not count against it.
  Outcome wait(std::chrono::nanoseconds timeout, const std::function<bool()>& up);

 private:
  std::atomic<uint64_t> accepted_{0};
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> lost_{0};
  std::atomic<uint32_t> waiters_{0};
  std::mutex lock_;
  std::condition_variable changed_;
};

}  // namespace mok::fxt::client
