// Peers that send more than the host takes: snapshot images nobody receives.
// The queue keeps the newest images within its count and byte bounds and
// counts what it dropped.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "brelo/client.hpp"
#include "ffi/handles.hpp"
#include "support/device_stats.hpp"
#include "support/eventually.hpp"
#include "support/fake_camera.hpp"
#include "support/scripted_peer.hpp"

namespace {

using mok::test::eventually;
using mok::test::stats_of;

constexpr std::uint16_t kImageStream = 2;

// Raw image bytes whose first byte numbers the image.
std::vector<std::uint8_t> image(std::size_t bytes, std::uint8_t number) {
  std::vector<std::uint8_t> b(bytes, 0x5A);
  b[0] = number;
  return b;
}

class HostileFlood : public ::testing::Test {
 protected:
  void SetUp() override {
    h = mok_connect(cam.address().c_str());
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(mok_start(h), MOK_OK);
    ASSERT_TRUE(cam.wait_accepted());
  }
  void TearDown() override { mok_close(h); }

  // Sends `count` images and waits until the client has queued them all.
  void flood(std::size_t count, std::size_t bytes) {
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_TRUE(cam.send(mok::test::kKindData, kImageStream, image(bytes, static_cast<std::uint8_t>(i))));
    }
    sent_ += count;
    ASSERT_TRUE(eventually([&] { return stats_of(h).snapshots_queued == sent_; }));
  }

  // Receives what is queued; the first byte of each image, in order.
  std::vector<std::uint8_t> drain() {
    std::vector<std::uint8_t> numbers;
    while (mok_snapshot_image_t* img = mok_recv_snapshot_image(h, 0)) {
      numbers.push_back(mok_snapshot_image_data(img)[0]);
      mok_snapshot_image_free(img);
    }
    return numbers;
  }

  mok::test::FakeCamera cam;
  mok_client_t* h = nullptr;
  std::size_t sent_ = 0;
};

TEST_F(HostileFlood, SnapshotQueueKeepsTheNewestImagesWithinItsCount) {
  constexpr std::size_t kSent = 100;
  constexpr std::size_t kKept = mok::brelo::SnapshotQueue::kMaxImages;
  flood(kSent, 4096);
  const mok_stats_t s = stats_of(h);
  EXPECT_EQ(s.snapshots_queued, kSent);
  EXPECT_EQ(s.snapshots_dropped, kSent - kKept);
  const auto numbers = drain();
  ASSERT_EQ(numbers.size(), kKept);
  EXPECT_EQ(numbers.front(), kSent - kKept);
  EXPECT_EQ(numbers.back(), kSent - 1);
  EXPECT_EQ(stats_of(h).snapshots_received, kKept);
}

TEST_F(HostileFlood, SnapshotQueueKeepsItsBytesBoundButAlwaysTheNewestImage) {
  {
    auto& queue = h->client->inner()->snapshots;
    std::lock_guard lock(queue.mutex);
    queue.value.max_bytes = 256 * 1024;
  }
  flood(10, 64 * 1024);
  EXPECT_EQ(stats_of(h).snapshots_dropped, 6u);
  EXPECT_EQ(drain(), (std::vector<std::uint8_t>{6, 7, 8, 9}));
  // An image larger than the bound on its own is still kept, the newest one.
  flood(2, 512 * 1024);
  EXPECT_EQ(drain(), std::vector<std::uint8_t>{1});
}

}  // namespace
