// The per-client queue of scan results a host pulls in batches instead of
// taking each one in a callback. Bounded: when the host falls behind, the
// oldest queued result makes room for the newest and is counted as dropped.
// A plain class with no I/O; the read loop pushes, host threads pop. Storage
// is a ring allocated when the capacity is set, so queueing allocates nothing
// per result.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "brelo/error.hpp"
#include "brelo/types.hpp"

namespace mok::brelo {

class ScanQueue {
 public:
  // The largest capacity a host may ask for (about 330 MB of full profiles).
  static constexpr std::size_t kMaxCapacity = 1u << 14;

  // Switches queueing on with room for `capacity` results, or off with 0
  // (what is queued is discarded, not counted as dropped). Shrinking below
  // the current depth drops the oldest and counts them. InvalidArgument
  // above kMaxCapacity; Closed once closed.
  Result<void> set_capacity(std::size_t capacity);

  // One accepted result from the read loop; ignored while queueing is off or
  // after close. Never blocks on the host beyond the queue's own lock.
  void push(const ScanResultPtr& result);

  // Moves up to out.size() of the oldest results into `out`, waiting up to
  // `timeout` for the first (nanoseconds::max(): no limit). Returns how many
  // it moved (at least 1); Timeout when none came; NotAvailable while
  // queueing is off; Closed once closed, also for a waiter close() woke.
  Result<std::size_t> pop(std::span<ScanResultPtr> out, std::chrono::nanoseconds timeout);

  // As pop, but stops before the first result whose points would take the
  // batch's total above `point_budget`; that result stays queued. When the
  // oldest alone is too large, nothing is moved and InvalidArgument comes
  // back with its point count in `needed`.
  Result<std::size_t> pop_within(std::span<ScanResultPtr> out, std::chrono::nanoseconds timeout,
                                 std::size_t point_budget, std::size_t& needed);

  // Ends queueing for good and wakes every waiting pop.
  void close();

  std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
  // 0 while off; read without the lock.
  std::size_t capacity() const noexcept { return capacity_.load(std::memory_order_relaxed); }
  std::size_t depth() const;

 private:
  void drop_oldest_beyond(std::size_t capacity);
  ScanResultPtr take_oldest();

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  // ring_.size() is the capacity; `count_` results start at `head_`.
  std::vector<ScanResultPtr> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  bool closed_ = false;
  std::atomic<std::size_t> capacity_{0};  // ring_.size(), for readers without the lock
  std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace mok::brelo
