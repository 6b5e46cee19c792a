// A camera that streams faster than the decoder decodes: the backlog stays
// within its bound by dropping packets up to the next key frame, and
// switching video off discards what is queued instead of decoding it first.
// Every packet is accounted for in the counters.
#include <atomic>
#include <cstdint>

#include <gtest/gtest.h>

#include "brelo/client.hpp"
#include "ffi/handles.hpp"
#include "support/device_stats.hpp"
#include "support/eventually.hpp"
#include "support/fake_camera.hpp"
#include "support/fake_media/fake_decoder.hpp"
#include "support/scripted_peer.hpp"

namespace mok::test {
namespace {

using test::eventually;

class HostileVideo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(decoder.control(), nullptr);
    h = mok_connect(cam.address().c_str());
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(mok_start(h), MOK_OK);
    ASSERT_TRUE(cam.wait_accepted());
  }
  void TearDown() override {
    mok_close(h);
    decoder.control()->decode_delay_ms = 0;
  }
  void send(bool key) {
    ASSERT_TRUE(cam.send(kKindVideoH264, 7, h264_unit(key)));
    ++sent;
  }
  // Every packet sent has been routed: posted or skipped.
  void settle() {
    ASSERT_TRUE(eventually([&] {
      const mok_stats_t s = stats_of(h);
      return s.video_packets_posted + s.video_packets_skipped == sent;
    }));
  }
  // Every packet posted has been decoded.
  void drain() {
    ASSERT_TRUE(eventually([&] {
      const mok_stats_t s = stats_of(h);
      return s.frames_decoded == s.video_packets_posted;
    }));
  }

  FakeDecoder decoder;
  FakeCamera cam;
  mok_client_t* h = nullptr;
  std::uint64_t sent = 0;
};

TEST_F(HostileVideo, BacklogSkipsToTheNextKeyFrame) {
  h->client->inner()->video_limit.packets = 4;
  decoder.control()->decode_delay_ms = 20;
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  send(true);
  for (int i = 0; i < 40; ++i) send(false);
  settle();
  drain();
  mok_stats_t s = stats_of(h);
  EXPECT_GT(s.video_packets_skipped, 0u);
  EXPECT_EQ(s.video_packets, sent);
  // The decoder has caught up, but a plain slice still waits for a key frame.
  decoder.control()->decode_delay_ms = 0;
  const std::uint64_t posted = s.video_packets_posted;
  send(false);
  settle();
  EXPECT_EQ(stats_of(h).video_packets_posted, posted);
  send(true);
  send(false);
  settle();
  s = stats_of(h);
  EXPECT_EQ(s.video_packets_posted, posted + 2);
  EXPECT_EQ(s.video_packets_posted + s.video_packets_skipped, sent);
}

TEST_F(HostileVideo, DisableDiscardsTheQueueInsteadOfDecodingIt) {
  decoder.control()->decode_delay_ms = 500;
  std::atomic<int> frames{0};
  mok_set_video_cb(
      h,
      [](mok_video_frame_t* f, void* user) {
        mok_video_frame_free(f);
        static_cast<std::atomic<int>*>(user)->fetch_add(1);
      },
      &frames);
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  const int calls_before = decoder.control()->decode_calls.load();
  send(true);
  for (std::size_t i = 1; i < brelo::VideoBacklogLimit::kMaxPackets; ++i) send(false);
  settle();
  ASSERT_EQ(mok_disable_video(h), MOK_OK);
  const mok_stats_t s = stats_of(h);
  EXPECT_EQ(s.video_packets_posted, sent);
  // The decode under way (maybe one more on a slow machine) finished; the
  // rest was discarded and counted, and nothing was delivered after it.
  const auto decoded = static_cast<std::uint64_t>(decoder.control()->decode_calls.load() - calls_before);
  EXPECT_LE(decoded, 2u);
  EXPECT_EQ(decoded + s.video_packets_skipped, sent);
  EXPECT_LE(frames.load(), 2);
}

}  // namespace
}  // namespace mok::test
