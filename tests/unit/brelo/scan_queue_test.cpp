// The pull queue of scan results: order, the bound with its drop count,
// switching off, and waits that end on a push, a time-out or close.
#include "brelo/scan_queue.hpp"

#include <array>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

namespace mok::brelo {
namespace {

using namespace std::chrono_literals;

ScanResultPtr result_at(std::uint64_t pts) {
  auto r = std::make_shared<ScanResult>();
  r->pts = pts;
  return r;
}

TEST(ScanQueue, PopsInArrivalOrderAndDropsTheOldestWhenFull) {
  ScanQueue q;
  ASSERT_TRUE(q.set_capacity(3));
  for (std::uint64_t i = 1; i <= 5; ++i) q.push(result_at(i));
  EXPECT_EQ(q.dropped(), 2u);
  EXPECT_EQ(q.depth(), 3u);
  std::array<ScanResultPtr, 2> out;
  auto n = q.pop(out, 0ns);
  ASSERT_TRUE(n);
  ASSERT_EQ(*n, 2u);
  EXPECT_EQ(out[0]->pts, 3u);
  EXPECT_EQ(out[1]->pts, 4u);
  n = q.pop(out, 0ns);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 1u);
  EXPECT_EQ(out[0]->pts, 5u);
  EXPECT_EQ(q.pop(out, 0ns).error().kind, ErrorKind::Timeout);
  // Shrinking drops the oldest and counts them too.
  for (std::uint64_t i = 6; i <= 8; ++i) q.push(result_at(i));
  ASSERT_TRUE(q.set_capacity(1));
  EXPECT_EQ(q.dropped(), 4u);
  ASSERT_TRUE(q.pop(out, 0ns));
  EXPECT_EQ(out[0]->pts, 8u);
}

TEST(ScanQueue, OffQueuesNothingAndRefusesOversizedCapacity) {
  ScanQueue q;
  std::array<ScanResultPtr, 1> out;
  q.push(result_at(1));
  EXPECT_EQ(q.pop(out, 0ns).error().kind, ErrorKind::NotAvailable);
  EXPECT_EQ(q.set_capacity(ScanQueue::kMaxCapacity + 1).error().kind, ErrorKind::InvalidArgument);
  ASSERT_TRUE(q.set_capacity(2));
  q.push(result_at(2));
  // Switching off discards without counting drops.
  ASSERT_TRUE(q.set_capacity(0));
  EXPECT_EQ(q.depth(), 0u);
  EXPECT_EQ(q.dropped(), 0u);
}

TEST(ScanQueue, WaitEndsOnPushSwitchOffAndClose) {
  ScanQueue q;
  ASSERT_TRUE(q.set_capacity(4));
  auto wait_one = [&q] {
    std::array<ScanResultPtr, 4> out;
    auto n = q.pop(out, std::chrono::nanoseconds::max());
    return n ? ErrorKind{} : n.error().kind;
  };
  auto pushed = std::async(std::launch::async, wait_one);
  std::this_thread::sleep_for(20ms);
  q.push(result_at(1));
  EXPECT_EQ(pushed.get(), ErrorKind{});

  auto off = std::async(std::launch::async, wait_one);
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(q.set_capacity(0));
  EXPECT_EQ(off.get(), ErrorKind::NotAvailable);

  ASSERT_TRUE(q.set_capacity(4));
  auto closed = std::async(std::launch::async, wait_one);
  std::this_thread::sleep_for(20ms);
  q.close();
  EXPECT_EQ(closed.get(), ErrorKind::Closed);
  // Closed for good: nothing queues, nothing re-enables it.
  q.push(result_at(2));
  EXPECT_EQ(q.depth(), 0u);
  EXPECT_FALSE(q.set_capacity(4));
}

TEST(ScanQueue, TimedWaitReturnsTimeoutWhenNothingComes) {
  ScanQueue q;
  ASSERT_TRUE(q.set_capacity(1));
  std::array<ScanResultPtr, 1> out;
  EXPECT_EQ(q.pop(out, 10ms).error().kind, ErrorKind::Timeout);
}

}  // namespace
}  // namespace mok::brelo
