// Awaiting channel ends from a coroutine: values sent from other threads
// wake the task, and a wake-up that finds nothing makes it wait again. The
// Interrupter's waits end on every wake-up, whenever it lands, and a read
// it cancels before data arrived loses nothing.
#include "fxt/client/wait.hpp"

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

#include "support/connector/harness.hpp"

namespace mok::fxt::client {
namespace {

using namespace std::chrono_literals;

TEST(AsyncWaker, RecvWaitsForValuesSentFromOtherThreads) {
  auto [tx, rx] = Broadcast<int>::make(8);
  std::promise<std::vector<int>> done;
  auto got = done.get_future();
  asio::co_spawn(
      asio::make_strand(test::test_runtime().next_context()),
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

TEST(Interrupter, AWakeUpBeforeTheWaitMakesItRefuseOnce) {
  auto waker = std::make_shared<Interrupter>(asio::make_strand(test::test_runtime().next_context()));
  waker->wake();
  EXPECT_FALSE(waker->begin_wait());
  EXPECT_TRUE(waker->begin_wait());
  waker->end_wait();
}

// A task that waits (on a timer far in the future) until it has seen every
// value another thread published; each publication is followed by one
// wake-up, at random moments against the task's own steps. A lost wake-up
// leaves the task on its timer and the bounded wait below fails.
TEST(Interrupter, NoWakeUpFromAnotherThreadIsLost) {
  constexpr int kValues = 2000;
  std::atomic<int> published{0};
  std::promise<int> done;
  auto finished = done.get_future();
  auto strand = asio::make_strand(test::test_runtime().next_context());
  auto waker = std::make_shared<Interrupter>(strand);
  asio::co_spawn(
      strand,
      [&published, waker]() -> asio::awaitable<int> {
        asio::steady_timer far(co_await asio::this_coro::executor);
        int waits = 0;
        while (published.load() < kValues) {
          if (!waker->begin_wait()) continue;
          if (published.load() < kValues) {
            far.expires_after(std::chrono::hours(1));
            co_await far.async_wait(waker->token());
            ++waits;
          }
          waker->end_wait();
        }
        co_return waits;
      },
      [&done](std::exception_ptr, int waits) { done.set_value(waits); });
  std::thread publisher([&] {
    for (int i = 0; i < kValues; ++i) {
      published.fetch_add(1);
      waker->wake();
      if (i % 64 == 0) std::this_thread::sleep_for(100us);
    }
  });
  publisher.join();
  ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
  EXPECT_GE(finished.get(), 1);
}

TEST(Interrupter, AReadCancelledBeforeDataLeavesTheBytesForTheNextRead) {
  auto& io = test::test_runtime().next_context();
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  asio::ip::tcp::socket client(io);
  client.connect(acceptor.local_endpoint());
  asio::ip::tcp::socket server = acceptor.accept();

  auto strand = asio::make_strand(io);
  auto waker = std::make_shared<Interrupter>(strand);
  std::promise<void> waiting;
  std::promise<std::string> first_read;
  std::promise<std::string> second_read;
  auto first = first_read.get_future();
  auto second = second_read.get_future();
  asio::co_spawn(
      strand,
      [&]() -> asio::awaitable<void> {
        std::array<char, 16> buf{};
        EXPECT_TRUE(waker->begin_wait());
        waiting.set_value();  // the wake-up may land before or after the read starts
        auto [ec1, n1] = co_await client.async_read_some(asio::buffer(buf), waker->token());
        waker->end_wait();
        first_read.set_value((ec1 == asio::error::operation_aborted ? "aborted:" : ec1.message() + ":") +
                             std::to_string(n1));
        auto [ec2, n2] =
            co_await client.async_read_some(asio::buffer(buf), asio::experimental::as_tuple(asio::use_awaitable));
        second_read.set_value(std::string(buf.data(), ec2 ? 0 : n2));
      },
      asio::detached);
  ASSERT_EQ(waiting.get_future().wait_for(5s), std::future_status::ready);
  waker->wake();
  ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(first.get(), "aborted:0");
  asio::write(server, asio::buffer(std::string("abc")));
  ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(second.get(), "abc");
}

}  // namespace
}  // namespace mok::fxt::client
