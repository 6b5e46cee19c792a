// The scan-result queue's bounds, drop counting and waits.
#include "brelo/scan_queue.hpp"

#include <algorithm>
#include <utility>

#include "brelo/bounded_wait.hpp"

namespace mok::brelo {

Result<void> ScanQueue::set_capacity(std::size_t capacity) {
  if (capacity > kMaxCapacity) {
    return fail(ErrorKind::InvalidArgument);
  }
  std::deque<ScanResultPtr> discarded;  // released after the lock
  std::lock_guard lock(mutex_);
  if (closed_) {
    return err(Error::other("client closed"));
  }
  capacity_ = capacity;
  if (capacity == 0) {
    discarded.swap(queue_);
  } else {
    drop_oldest_beyond(capacity);
  }
  // Waiters learn that queueing went off.
  ready_.notify_all();
  return {};
}

void ScanQueue::push(ScanResultPtr result) {
  {
    std::lock_guard lock(mutex_);
    if (capacity_ == 0 || closed_) {
      return;
    }
    drop_oldest_beyond(capacity_ - 1);
    queue_.push_back(std::move(result));
  }
  ready_.notify_one();
}

Result<std::size_t> ScanQueue::pop(std::span<ScanResultPtr> out, std::chrono::nanoseconds timeout) {
  if (out.empty()) {
    return fail(ErrorKind::InvalidArgument);
  }
  std::unique_lock lock(mutex_);
  const bool woke = wait_bounded(ready_, lock, timeout,
                                 [&] { return closed_ || capacity_ == 0 || !queue_.empty(); });
  if (closed_) {
    return err(Error::other("client closed"));
  }
  if (capacity_ == 0) {
    return fail(ErrorKind::NotAvailable);
  }
  if (!woke) {
    return fail(ErrorKind::Timeout);
  }
  const std::size_t n = std::min(out.size(), queue_.size());
  std::move(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n), out.begin());
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

void ScanQueue::close() {
  std::deque<ScanResultPtr> discarded;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    discarded.swap(queue_);
  }
  ready_.notify_all();
}

std::size_t ScanQueue::depth() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void ScanQueue::drop_oldest_beyond(std::size_t capacity) {
  while (queue_.size() > capacity) {
    queue_.pop_front();
    dropped_.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace mok::brelo
