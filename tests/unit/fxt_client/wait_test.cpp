// Awaiting channel ends from a coroutine: values sent from other threads
// wake the task, and a wake-up that finds nothing makes it wait again.
#include "fxt/client/wait.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <future>
#include <thread>

#include "harness.hpp"

namespace mok::fxt::client {
namespace {

using namespace std::chrono_literals;

TEST(AsyncWaker, RecvWaitsForValuesSentFromOtherThreads) {
  auto [tx, rx] = Broadcast<int>::make(8);
  std::promise<std::vector<int>> done;
  auto got = done.get_future();
  asio::co_spawn(
      asio::make_strand(test::test_runtime().context()),
      [&rx = rx]() -> asio::awaitable<std::vector<int>> {
        auto waker = std::make_shared<AsyncWaker>(co_await asio::this_coro::executor);
        rx.set_waker(waker);
        waker->wake();  // a stray wake-up: recv must wait on
        std::vector<int> out;
        while (out.size() < 3) {
          auto r = co_await recv(rx, *waker);
          if (r.ok()) out.push_back(*r);
        }
        rx.set_waker(nullptr);
        co_return out;
      },
      [&done](std::exception_ptr, std::vector<int> v) { done.set_value(std::move(v)); });
  std::thread sender([&tx = tx] {
    for (int i = 1; i <= 3; ++i) {
      std::this_thread::sleep_for(5ms);
      (void)tx.send(i);
    }
  });
  sender.join();
  ASSERT_EQ(got.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(got.get(), (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace mok::fxt::client
