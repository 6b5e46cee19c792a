// The scan-result queue's ring, bounds, drop counting and waits.
#include "brelo/scan_queue.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "brelo/bounded_wait.hpp"

namespace mok::brelo {

Result<void> ScanQueue::set_capacity(std::size_t capacity) {
  if (capacity > kMaxCapacity) {
    return fail(ErrorKind::InvalidArgument);
  }
  std::vector<ScanResultPtr> ring(capacity);
  std::lock_guard lock(mutex_);
  if (closed_) {
    return fail(ErrorKind::Closed);
  }
  std::size_t kept = 0;
  if (capacity != 0) {
    drop_oldest_beyond(capacity);
    while (count_ > 0) {
      ring[kept++] = take_oldest();
    }
  }
  // The old ring (with what switching off discards, not counted as dropped)
  // is released after the lock, with `ring`.
  ring.swap(ring_);
  capacity_.store(capacity, std::memory_order_relaxed);
  head_ = 0;
  count_ = kept;
  // Waiters learn that queueing went off.
  ready_.notify_all();
  return {};
}

void ScanQueue::push(const ScanResultPtr& result) {
  // Queueing off (the usual case for a host with a callback): no lock per
  // result. A result racing the enabling call is one that came before it.
  if (capacity_.load(std::memory_order_relaxed) == 0) {
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (ring_.empty() || closed_) {
      return;
    }
    drop_oldest_beyond(ring_.size() - 1);
    ring_[(head_ + count_) % ring_.size()] = result;
    ++count_;
  }
  ready_.notify_one();
}

Result<std::size_t> ScanQueue::pop(std::span<ScanResultPtr> out, std::chrono::nanoseconds timeout) {
  std::size_t needed = 0;
  return pop_within(out, timeout, SIZE_MAX, needed);
}

Result<std::size_t> ScanQueue::pop_within(std::span<ScanResultPtr> out, std::chrono::nanoseconds timeout,
                                          std::size_t point_budget, std::size_t& needed) {
  if (out.empty()) {
    return fail(ErrorKind::InvalidArgument);
  }
  std::unique_lock lock(mutex_);
  const bool woke = wait_bounded(ready_, lock, timeout, [&] { return closed_ || ring_.empty() || count_ > 0; });
  if (closed_) {
    return fail(ErrorKind::Closed);
  }
  if (ring_.empty()) {
    return fail(ErrorKind::NotAvailable);
  }
  if (!woke) {
    return fail(ErrorKind::Timeout);
  }
  const std::size_t most = std::min(out.size(), count_);
  std::size_t n = 0;
  for (std::size_t points = 0; n < most; ++n) {
    const std::size_t next = ring_[head_] ? ring_[head_]->point_count : 0;
    if (next > point_budget - points) {
      break;
    }
    points += next;
    out[n] = take_oldest();
  }
  if (n == 0) {
    needed = ring_[head_] ? ring_[head_]->point_count : 0;
    return fail(ErrorKind::InvalidArgument);
  }
  return n;
}

void ScanQueue::close() {
  std::vector<ScanResultPtr> discarded;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    discarded.swap(ring_);
    capacity_.store(0, std::memory_order_relaxed);
    count_ = 0;
  }
  ready_.notify_all();
}

std::size_t ScanQueue::depth() const {
  std::lock_guard lock(mutex_);
  return count_;
}

ScanResultPtr ScanQueue::take_oldest() {
  ScanResultPtr r = std::move(ring_[head_]);
  head_ = (head_ + 1) % ring_.size();
  --count_;
  return r;
}

void ScanQueue::drop_oldest_beyond(std::size_t capacity) {
  while (count_ > capacity) {
    take_oldest();
    dropped_.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace mok::brelo
