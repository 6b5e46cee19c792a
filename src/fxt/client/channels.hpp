// The connector's two channels as plain, lock-based classes: a broadcast
// channel for commands (every subscriber sees every value sent after it
// subscribed, as long as it falls at most `capacity` behind) and a bounded
// many-producer single-consumer queue for outbound packets. Neither blocks;
// a receiver names a Waker that is woken when it may have something to take,
// and the tasks build their awaiting on that (see wait.hpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/result.hpp"

namespace mok::fxt::client {

// Wakes a waiting task; called from any thread, possibly with nothing new.
class Waker {
 public:
  virtual ~Waker() = default;
  virtual void wake() noexcept = 0;
};

struct SendError {
  enum class Kind { Closed, Full };
  Kind kind;
  // "channel closed", "no available capacity"
  const char* text() const noexcept { return kind == Kind::Closed ? "channel closed" : "no available capacity"; }
};

struct RecvError {
  enum class Kind { Empty, Lagged, Closed };
  Kind kind;
  uint64_t missed = 0;  // Lagged: values overwritten before this receiver saw them
  bool is_empty() const noexcept { return kind == Kind::Empty; }
  // "channel lagged by 3", "channel closed", "channel empty"
  std::string text() const;
};

namespace detail {
inline void wake_all(const std::vector<std::shared_ptr<Waker>>& wakers) noexcept {
  for (const auto& w : wakers) w->wake();
}
}  // namespace detail

template <class T>
class Broadcast {
  struct Shared {
    explicit Shared(std::size_t cap) : ring(cap) {}
    std::mutex lock;
    std::vector<std::optional<T>> ring;
    uint64_t tail = 0;  // sequence number of the next value sent
    std::size_t receivers = 0;
    bool sender_alive = true;
    std::vector<std::pair<const void*, std::shared_ptr<Waker>>> wakers;
    // Copies of `tail` and `sender_alive`, written under the lock with them,
    // so that a receiver polling between packets asks without locking.
    std::atomic<uint64_t> published_tail{0};
    std::atomic<bool> published_alive{true};

    std::vector<std::shared_ptr<Waker>> wakers_copy() {
      std::vector<std::shared_ptr<Waker>> out;
      out.reserve(wakers.size());
      for (auto& w : wakers) out.push_back(w.second);
      return out;
    }
  };

 public:
  class Receiver {
   public:
    Receiver() = default;
    Receiver(Receiver&& o) noexcept { *this = std::move(o); }
    Receiver& operator=(Receiver&& o) noexcept {
      if (this != &o) {
        release();
        // The waker is registered under the receiver's address; move it along.
        if (o.shared_) {
          std::lock_guard g(o.shared_->lock);
          for (auto& w : o.shared_->wakers)
            if (w.first == &o) w.first = this;
        }
        shared_ = std::move(o.shared_);
        next_ = o.next_;
      }
      return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { release(); }

    // The oldest value this receiver has not seen; Lagged once (then the
    // oldest retained value follows), Empty, or Closed when the sender is gone
    // and everything was taken.
    Result<T, RecvError> try_recv() {
      if (!shared_) return err(RecvError{RecvError::Kind::Closed});
      std::lock_guard g(shared_->lock);
      const uint64_t cap = shared_->ring.size();
      const uint64_t oldest = shared_->tail > cap ? shared_->tail - cap : 0;
      if (next_ < oldest) {
        const uint64_t missed = oldest - next_;
        next_ = oldest;
        return err(RecvError{RecvError::Kind::Lagged, missed});
      }
      if (next_ == shared_->tail) {
        return err(RecvError{shared_->sender_alive ? RecvError::Kind::Empty : RecvError::Kind::Closed});
      }
      T v = *shared_->ring[next_ % cap];
      ++next_;
      return v;
    }

    // True when try_recv would return something other than Empty. Takes no
    // lock: a loop asks this once per packet.
    bool ready() const {
      if (!shared_) return true;
      return next_ != shared_->published_tail.load(std::memory_order_acquire) ||
             !shared_->published_alive.load(std::memory_order_acquire);
    }

    // Woken after every send and when the sender goes away.
    void set_waker(std::shared_ptr<Waker> waker) {
      if (!shared_) return;
      std::lock_guard g(shared_->lock);
      std::erase_if(shared_->wakers, [this](auto& w) { return w.first == this; });
      if (waker) shared_->wakers.emplace_back(this, std::move(waker));
    }

   private:
    friend class Broadcast;
    Receiver(std::shared_ptr<Shared> s, uint64_t next) : shared_(std::move(s)), next_(next) {}
    void release() noexcept {
      if (!shared_) return;
      {
        std::lock_guard g(shared_->lock);
        --shared_->receivers;
        std::erase_if(shared_->wakers, [this](auto& w) { return w.first == this; });
      }
      shared_.reset();
    }
    std::shared_ptr<Shared> shared_;
    uint64_t next_ = 0;
  };

  class Sender {
   public:
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&&) = delete;
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    ~Sender() {
      if (!shared_) return;
      std::vector<std::shared_ptr<Waker>> wakers;
      {
        std::lock_guard g(shared_->lock);
        shared_->sender_alive = false;
        shared_->published_alive.store(false, std::memory_order_release);
        wakers = shared_->wakers_copy();
      }
      detail::wake_all(wakers);
    }

    // Retains the value for every current receiver, overwriting the oldest
    // once `capacity` are held. Returns how many receivers there are, or
    // Closed (value dropped) when there is none.
    Result<std::size_t, SendError> send(T value) {
      std::vector<std::shared_ptr<Waker>> wakers;
      std::size_t n = 0;
      {
        std::lock_guard g(shared_->lock);
        if (shared_->receivers == 0) return err(SendError{SendError::Kind::Closed});
        shared_->ring[shared_->tail % shared_->ring.size()] = std::move(value);
        ++shared_->tail;
        shared_->published_tail.store(shared_->tail, std::memory_order_release);
        n = shared_->receivers;
        wakers = shared_->wakers_copy();
      }
      detail::wake_all(wakers);
      return n;
    }

    // A receiver that sees the values sent from now on.
    Receiver subscribe() {
      std::lock_guard g(shared_->lock);
      ++shared_->receivers;
      return Receiver(shared_, shared_->tail);
    }

    std::size_t receiver_count() const {
      std::lock_guard g(shared_->lock);
      return shared_->receivers;
    }

   private:
    friend class Broadcast;
    explicit Sender(std::shared_ptr<Shared> s) : shared_(std::move(s)) {}
    std::shared_ptr<Shared> shared_;
  };

  static std::pair<Sender, Receiver> make(std::size_t capacity) {
    auto shared = std::make_shared<Shared>(capacity == 0 ? 1 : capacity);
    Sender tx(shared);
    Receiver rx = tx.subscribe();
    return {std::move(tx), std::move(rx)};
  }
};

template <class T>
class Bounded {
  struct Shared {
    explicit Shared(std::size_t c) : cap(c) {}
    std::mutex lock;
    std::deque<T> items;
    std::size_t cap;
    bool receiver_alive = true;
    bool sender_alive = true;
    std::shared_ptr<Waker> waker;
  };

 public:
  class Receiver {
   public:
    Receiver() = default;
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& o) noexcept {
      if (this != &o) {
        close();
        shared_ = std::move(o.shared_);
      }
      return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    // Closes the queue and discards what it still holds.
    ~Receiver() { close(); }

    // The oldest item; Empty, or Closed when the sender is gone and
    // everything was taken.
    Result<T, RecvError> try_recv() {
      if (!shared_) return err(RecvError{RecvError::Kind::Closed});
      std::lock_guard g(shared_->lock);
      if (shared_->items.empty()) {
        return err(RecvError{shared_->sender_alive ? RecvError::Kind::Empty : RecvError::Kind::Closed});
      }
      T v = std::move(shared_->items.front());
      shared_->items.pop_front();
      return v;
    }

    bool ready() const {
      if (!shared_) return true;
      std::lock_guard g(shared_->lock);
      return !shared_->items.empty() || !shared_->sender_alive;
    }

    std::size_t size() const {
      if (!shared_) return 0;
      std::lock_guard g(shared_->lock);
      return shared_->items.size();
    }

    bool valid() const noexcept { return shared_ != nullptr; }

    // Woken after every successful send and when the sender goes away.
    void set_waker(std::shared_ptr<Waker> waker) {
      if (!shared_) return;
      std::lock_guard g(shared_->lock);
      shared_->waker = std::move(waker);
    }

   private:
    friend class Bounded;
    explicit Receiver(std::shared_ptr<Shared> s) : shared_(std::move(s)) {}
    void close() noexcept {
      if (!shared_) return;
      std::deque<T> dropped;
      {
        std::lock_guard g(shared_->lock);
        shared_->receiver_alive = false;
        shared_->waker.reset();
        dropped.swap(shared_->items);
      }
      shared_.reset();
    }
    std::shared_ptr<Shared> shared_;
  };

  class Sender {
   public:
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&&) = delete;
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    ~Sender() {
      if (!shared_) return;
      std::shared_ptr<Waker> waker;
      {
        std::lock_guard g(shared_->lock);
        shared_->sender_alive = false;
        waker = shared_->waker;
      }
      if (waker) waker->wake();
    }

    // Queues without waiting: Full when `capacity` items wait, Closed when
    // the receiver is gone. The item is dropped on failure.
    Result<void, SendError> try_send(T item) {
      std::shared_ptr<Waker> waker;
      {
        std::lock_guard g(shared_->lock);
        if (!shared_->receiver_alive) return err(SendError{SendError::Kind::Closed});
        if (shared_->items.size() >= shared_->cap) return err(SendError{SendError::Kind::Full});
        shared_->items.push_back(std::move(item));
        waker = shared_->waker;
      }
      if (waker) waker->wake();
      return {};
    }

    // Items waiting now.
    std::size_t size() const {
      std::lock_guard g(shared_->lock);
      return shared_->items.size();
    }

    // A new receiving end when the previous one was dropped (the queue
    // reopens, empty); nullopt while a receiver exists.
    std::optional<Receiver> reopen() {
      std::lock_guard g(shared_->lock);
      if (shared_->receiver_alive) return std::nullopt;
      shared_->receiver_alive = true;
      return Receiver(shared_);
    }

   private:
    friend class Bounded;
    explicit Sender(std::shared_ptr<Shared> s) : shared_(std::move(s)) {}
    std::shared_ptr<Shared> shared_;
  };

  static std::pair<Sender, Receiver> make(std::size_t capacity) {
    auto shared = std::make_shared<Shared>(capacity == 0 ? 1 : capacity);
    return {Sender(shared), Receiver(shared)};
  }
};

inline std::string RecvError::text() const {
  switch (kind) {
    case Kind::Lagged:
      return "channel lagged by " + std::to_string(missed);
    case Kind::Closed:
      return "channel closed";
    case Kind::Empty:
      break;
  }
  return "channel empty";
}

}  // namespace mok::fxt::client
