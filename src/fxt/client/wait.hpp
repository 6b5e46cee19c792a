// Awaiting the connector's channels from a coroutine. A task owns one
// AsyncWaker, registers it with every channel end it reads, and waits on it
// when nothing is ready; after each wake-up it polls its sources again, so a
// wake-up that arrives early or twice does no harm and none can be lost.
#pragma once

#include <atomic>
#include <memory>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "fxt/client/channels.hpp"

namespace mok::fxt::client {

class AsyncWaker final : public Waker {
 public:
  explicit AsyncWaker(const asio::any_io_executor& ex) : signal_(ex, 1) {}

  // Thread-safe; a pending wake-up absorbs further ones.
  void wake() noexcept override {
    try {
      signal_.try_send(asio::error_code{}, 0);
    } catch (...) {
      // Only allocation can fail here; the task's next poll still sees the data.
    }
  }

  // Completes at the next wake-up (or at once if one is pending).
  asio::awaitable<void> wait() {
    co_await signal_.async_receive(asio::experimental::as_tuple(asio::use_awaitable));
  }

 private:
  // (A lone error_code signature is ambiguous in this Asio version.)
  asio::experimental::concurrent_channel<void(asio::error_code, int)> signal_;
};

// Wakes a task that waits on one Asio operation at a time by cancelling
// that operation, so a wait costs the operation alone instead of a race of
// several. The task brackets each wait with begin_wait()/end_wait() and runs
// on `strand` (a strand, or a context that one thread runs); wake() may come from any thread. A wake-up that
// arrives between two waits makes the next begin_wait() refuse, so none is lost; one that lands late cancels a
// later wait, which only costs a poll. Cancelling a socket read before it has read leaves the bytes in the socket;
// once it has read, the read completes normally with them.
class Interrupter final : public Waker, public std::enable_shared_from_this<Interrupter> {
 public:
  explicit Interrupter(asio::any_io_executor strand) : strand_(std::move(strand)) {}

  void wake() noexcept override {
    pending_.store(true);
    if (!waiting_.load() || posted_.exchange(true)) return;
    auto self = weak_from_this().lock();
    if (!self) return;
    try {
      asio::post(strand_, [self] { self->interrupt_here(); });
    } catch (...) {
      // Out of memory: the wait ends at the task's next tick instead.
      posted_.store(false);
    }
  }

  // On the strand: false when a wake-up is pending (then do not wait).
  bool begin_wait() noexcept {
    waiting_.store(true);
    if (pending_.exchange(false)) {
      waiting_.store(false);
      return false;
    }
    return true;
  }
  void end_wait() noexcept { waiting_.store(false); }

  // The completion token for the bracketed operation.
  auto token() {
    return asio::bind_cancellation_slot(signal_.slot(), asio::experimental::as_tuple(asio::use_awaitable));
  }

  // wake() for a caller already on the strand: no hop through the queue.
  void wake_here() noexcept {
    pending_.store(true);
    if (waiting_.load()) signal_.emit(asio::cancellation_type::all);
  }

 private:
  void interrupt_here() noexcept {
    posted_.store(false);
    if (waiting_.load()) signal_.emit(asio::cancellation_type::all);
  }

  asio::any_io_executor strand_;
  asio::cancellation_signal signal_;
  std::atomic<bool> pending_{false};
  std::atomic<bool> waiting_{false};
  std::atomic<bool> posted_{false};
};

// Receives the next item of a channel end (Broadcast or Bounded receiver)
// that has `waker` registered: an item, Lagged or Closed, never Empty.
template <class Rx>
auto recv(Rx& rx, AsyncWaker& waker) -> asio::awaitable<decltype(rx.try_recv())> {
  for (;;) {
    auto r = rx.try_recv();
    if (r.ok() || !r.error().is_empty()) co_return r;
    co_await waker.wait();
  }
}

}  // namespace mok::fxt::client
