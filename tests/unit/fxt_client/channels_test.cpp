// The command broadcast channel and the outbound queue, without sockets.
#include "fxt/client/channels.hpp"

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fxt/client/connector.hpp"

namespace mok::fxt::client {
namespace {

struct CountingWaker : Waker {
  std::atomic<int> wakes{0};
  void wake() noexcept override { ++wakes; }
};

using IntBroadcast = Broadcast<int>;

TEST(Broadcast, EverySubscriberSeesEverythingSentAfterItSubscribed) {
  auto [tx, first] = IntBroadcast::make(8);
  ASSERT_EQ(*tx.send(1), 1u);
  auto second = tx.subscribe();
  ASSERT_EQ(*tx.send(2), 2u);

  EXPECT_EQ(*first.try_recv(), 1);
  EXPECT_EQ(*first.try_recv(), 2);
  EXPECT_TRUE(first.try_recv().error().is_empty());
  EXPECT_EQ(*second.try_recv(), 2);
  EXPECT_FALSE(second.ready());
}

TEST(Broadcast, LaggingSubscriberGetsLagErrorThenOldestRetained) {
  auto [tx, rx] = IntBroadcast::make(8);
  for (int i = 0; i < 11; ++i) ASSERT_TRUE(tx.send(i).ok());
  auto r = rx.try_recv();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, RecvError::Kind::Lagged);
  EXPECT_EQ(r.error().missed, 3u);
  EXPECT_EQ(r.error().text(), "channel lagged by 3");
  for (int i = 3; i < 11; ++i) EXPECT_EQ(*rx.try_recv(), i);
  EXPECT_TRUE(rx.try_recv().error().is_empty());
}

TEST(Broadcast, ExactlyCapacityBehindIsNoLag) {
  auto [tx, rx] = IntBroadcast::make(8);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(tx.send(i).ok());
  EXPECT_EQ(*rx.try_recv(), 0);
}

TEST(Broadcast, SendWithoutSubscribersFailsAndDroppedSenderCloses) {
  auto [tx, rx] = IntBroadcast::make(8);
  { auto gone = std::move(rx); }
  auto r = tx.send(1);
  ASSERT_FALSE(r.ok());
  EXPECT_STREQ(r.error().text(), "channel closed");
  EXPECT_EQ(ConnectorError(r.error()).display(), "channel closed");

  auto late = tx.subscribe();
  ASSERT_TRUE(tx.send(5).ok());
  auto waker = std::make_shared<CountingWaker>();
  late.set_waker(waker);
  { auto dropped = std::move(tx); }
  EXPECT_GE(waker->wakes.load(), 1);
  // What was sent before the sender went away is still delivered.
  EXPECT_EQ(*late.try_recv(), 5);
  EXPECT_EQ(late.try_recv().error().kind, RecvError::Kind::Closed);
}

TEST(Broadcast, WakerFollowsAMovedReceiverAndLeavesWithIt) {
  auto [tx, rx] = IntBroadcast::make(8);
  auto waker = std::make_shared<CountingWaker>();
  rx.set_waker(waker);
  auto moved = std::move(rx);
  ASSERT_TRUE(tx.send(1).ok());
  EXPECT_EQ(waker->wakes.load(), 1);
  { auto gone = std::move(moved); }
  EXPECT_FALSE(tx.send(2).ok());
  EXPECT_EQ(waker->wakes.load(), 1);
  EXPECT_EQ(waker.use_count(), 1);  // no registration left behind
}

TEST(Broadcast, ConcurrentSendersReachEverySubscriberInOneOrder) {
  auto channel = IntBroadcast::make(1024);
  auto& tx = channel.first;
  auto& a = channel.second;
  auto b = tx.subscribe();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&tx, t] {
      for (int i = 0; i < 100; ++i) (void)tx.send(t * 100 + i);
    });
  for (auto& th : threads) th.join();
  for (int i = 0; i < 400; ++i) ASSERT_EQ(*a.try_recv(), *b.try_recv());
  EXPECT_TRUE(a.try_recv().error().is_empty());
}

TEST(EventQueue, RefusesTheHundredAndFirstAndKeepsOrder) {
  auto [tx, rx] = EventQueue::make(kQueueCapacity);
  for (uint16_t i = 0; i < 100; ++i) {
    ASSERT_TRUE(tx.try_send(Event::from(Packet::make({}, Kind::Data, i, Bytes()))).ok());
  }
  auto r = tx.try_send(Event::from(Packet::make({}, Kind::Data, 100, Bytes())));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(ConnectorError(r.error()).display(), "no available capacity");
  for (uint16_t i = 0; i < 100; ++i) EXPECT_EQ(rx.try_recv()->packet->head.stream_id, i);
  EXPECT_TRUE(rx.try_recv().error().is_empty());
}

TEST(EventQueue, DroppedReceiverClosesAndReleasesQueuedPackets) {
  auto [tx, rx] = EventQueue::make(kQueueCapacity);
  auto packet = make_packet_ptr(Packet::make({}, Kind::Data, 1, Bytes()));
  ASSERT_TRUE(tx.try_send(Event::from(packet)).ok());
  EXPECT_EQ(packet.use_count(), 2);
  { auto gone = std::move(rx); }
  EXPECT_EQ(packet.use_count(), 1);
  auto r = tx.try_send(Event::from(packet));
  ASSERT_FALSE(r.ok());
  EXPECT_STREQ(r.error().text(), "channel closed");
  EXPECT_EQ(packet.use_count(), 1);

  auto reopened = tx.reopen();
  ASSERT_TRUE(reopened.has_value());
  EXPECT_FALSE(tx.reopen().has_value());  // only one receiving end at a time
  ASSERT_TRUE(tx.try_send(Event::from(packet)).ok());
  EXPECT_EQ(reopened->size(), 1u);
}

TEST(EventQueue, MovedReceiverKeepsTheQueueAndItsWaker) {
  auto [tx, rx] = EventQueue::make(kQueueCapacity);
  auto waker = std::make_shared<CountingWaker>();
  rx.set_waker(waker);
  EventQueue::Receiver slot = std::move(rx);
  ASSERT_TRUE(tx.try_send(Event::from(Packet::make({}, Kind::Data, 7, Bytes()))).ok());
  EXPECT_EQ(waker->wakes.load(), 1);
  EXPECT_TRUE(slot.ready());
  EXPECT_EQ(slot.try_recv()->packet->head.stream_id, 7);
}

TEST(EventQueue, EventFromPacketSharesInsteadOfCopying) {
  auto shared = make_packet_ptr(Packet::make({}, Kind::Data, 1, Bytes(std::vector<uint8_t>{1, 2, 3, 4})));
  Event e = Event::from(shared);
  EXPECT_EQ(e.packet.get(), shared.get());
  EXPECT_FALSE(is_sole_owner(shared));
}

}  // namespace
}  // namespace mok::fxt::client
