// An unbounded multi-producer multi-consumer FIFO for the decoding service:
// posting never blocks, and receivers share one queue (each item is taken by
// exactly one of them). The channel closes for receivers once every sender
// is gone and the queue is drained, and for senders once every receiver is
// gone. A mutex and a condition variable suffice: the users are plain threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "common/result.hpp"

namespace mok::media {

// A refused send gives the item back.
template <class T>
struct SendError {
  T item;
  // "Closed(..)": the channel has no receiver left.
  std::string text() const { return "Closed(..)"; }
};

enum class RecvError { Timeout, Closed };

namespace detail {

template <class T>
struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> queue;
  size_t senders = 0;
  size_t receivers = 0;
};

}  // namespace detail

template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) { attach(); }
  Sender(const Sender& o) : s_(o.s_) { attach(); }
  Sender(Sender&& o) noexcept : s_(std::move(o.s_)) {}
  Sender& operator=(Sender o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  ~Sender() { reset(); }

  Result<void, SendError<T>> send(T item) {
    if (s_) {
      std::lock_guard lock(s_->mutex);
      if (s_->receivers > 0) {
        s_->queue.push_back(std::move(item));
        s_->ready.notify_one();
        return {};
      }
    }
    return err(SendError<T>{std::move(item)});
  }

  // Takes the queued items for which `pred` holds out of the queue, keeping
  // the order of the rest; they are released after the lock. How many.
  template <class Pred>
  std::size_t discard_if(Pred pred) {
    if (!s_) return 0;
    std::deque<T> dropped;
    {
      std::lock_guard lock(s_->mutex);
      std::deque<T> kept;
      for (T& item : s_->queue) (pred(item) ? dropped : kept).push_back(std::move(item));
      s_->queue.swap(kept);
    }
    return dropped.size();
  }

  // Drops this sender now; the last one gone wakes every waiting receiver.
  void reset() noexcept {
    if (!s_) return;
    {
      std::lock_guard lock(s_->mutex);
      if (--s_->senders == 0) s_->ready.notify_all();
    }
    s_.reset();
  }

 private:
  void attach() {
    if (!s_) return;
    std::lock_guard lock(s_->mutex);
    ++s_->senders;
  }
  std::shared_ptr<detail::ChannelState<T>> s_;
};

template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) { attach(); }
  Receiver(const Receiver& o) : s_(o.s_) { attach(); }
  Receiver(Receiver&& o) noexcept : s_(std::move(o.s_)) {}
  Receiver& operator=(Receiver o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  ~Receiver() { reset(); }

  // Waits for the next item; empty once the channel is closed and drained.
  std::optional<T> recv() {
    std::unique_lock lock(s_->mutex);
    s_->ready.wait(lock, [&] { return !s_->queue.empty() || s_->senders == 0; });
    return take(lock);
  }

  // Waits at most `timeout`.
  template <class Rep, class Period>
  Result<T, RecvError> recv_timeout(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(s_->mutex);
    if (!s_->ready.wait_for(lock, timeout, [&] { return !s_->queue.empty() || s_->senders == 0; })) {
      return err(RecvError::Timeout);
    }
    if (auto item = take(lock)) return std::move(*item);
    return err(RecvError::Closed);
  }

  // An item already waiting, without blocking.
  std::optional<T> try_recv() {
    std::unique_lock lock(s_->mutex);
    return take(lock);
  }

  // Drops this receiver now. With the last one gone nobody can take what is
  // queued, so it is released (frames go back to their library at once).
  void reset() noexcept {
    if (!s_) return;
    std::deque<T> orphaned;
    {
      std::lock_guard lock(s_->mutex);
      if (--s_->receivers == 0) orphaned.swap(s_->queue);
    }
    s_.reset();
  }

 private:
  std::optional<T> take(std::unique_lock<std::mutex>&) {
    if (s_->queue.empty()) return std::nullopt;
    std::optional<T> item(std::move(s_->queue.front()));
    s_->queue.pop_front();
    return item;
  }
  void attach() {
    if (!s_) return;
    std::lock_guard lock(s_->mutex);
    ++s_->receivers;
  }
  std::shared_ptr<detail::ChannelState<T>> s_;
};

// A connected pair; clone either end by copying it.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto state = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace mok::media
