// Awaiting the connector's channels from a coroutine. A task owns one
// AsyncWaker, registers it with every channel end it reads, and waits on it
// when nothing is ready; after each wake-up it polls its sources again, so a
// wake-up that arrives early or twice does no harm and none can be lost.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/experimental/deferred.hpp>
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

  // The same wait as a deferred operation, to race in a parallel group
  // without a coroutine frame of its own.
  auto deferred_wait() { return signal_.async_receive(asio::experimental::deferred); }

 private:
  // (A lone error_code signature is ambiguous in this Asio version.)
  asio::experimental::concurrent_channel<void(asio::error_code, int)> signal_;
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
