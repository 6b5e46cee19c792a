// The device's video counters against a decoder that is too slow on purpose:
// every packet is counted and posted, the first 151 are decoded and handed
// to the host, and the real-time rule drops the rest, each drop counted once.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "mok/mok.h"
#include "support/eventually.hpp"
#include "support/fake_camera.hpp"
#include "support/fake_media/fake_media_control.hpp"

namespace mok::test {
namespace {

using namespace std::chrono_literals;

// The decoder library the client loads: the one beside this executable.
std::string beside_executable(const char* name) {
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return name;
  std::string path(buf.data(), static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + name;
}

mok_stats_t stats_of(mok_client_t* c) {
  mok_stats_t s{};
  EXPECT_EQ(mok_get_stats(c, &s, sizeof s), MOK_OK);
  return s;
}

void on_frame(mok_video_frame_t* frame, void* user) {
  mok_video_frame_free(frame);
  static_cast<std::atomic<int>*>(user)->fetch_add(1);
}

TEST(VideoStats, SlowDecoderDropsByTheRealTimeRuleAndEveryFrameIsCounted) {
  // Held open for the test, so the control block is the one the client's
  // decoder uses.
  void* lib = dlopen(beside_executable("libmok_media.so").c_str(), RTLD_NOW);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto control_fn = reinterpret_cast<FakeMediaControlFn>(dlsym(lib, kFakeMediaControlSymbol));
  ASSERT_NE(control_fn, nullptr);
  FakeMediaControl* control = control_fn();

  FakeCamera cam;
  mok_client_t* c = mok_connect(cam.address().c_str());
  ASSERT_NE(c, nullptr);
  std::atomic<int> frames{0};
  mok_set_video_cb(c, on_frame, &frames);
  ASSERT_EQ(mok_enable_video(c), MOK_OK);
  ASSERT_EQ(mok_start(c), MOK_OK);
  ASSERT_TRUE(cam.wait_accepted());
  ASSERT_TRUE(eventually([&] { return stats_of(c).state == MOK_STATE_CONNECTED; }, 5s));

  // Above the 33 ms limit: once more than 150 frames are decoded, the rule
  // holds back every packet that follows.
  control->decode_delay_ms = 40;
  constexpr uint64_t kDecoded = 151;
  constexpr uint64_t kDropped = 3;
  // Paced to stay well inside the client's backlog bound, which would
  // otherwise drop packets before the decoder sees them.
  for (uint64_t i = 0; i < kDecoded + kDropped; ++i) {
    ASSERT_TRUE(eventually(
        [&] {
          const mok_stats_t s = stats_of(c);
          return i < s.frames_decoded + s.frames_dropped + 20;
        },
        10s));
    const std::vector<uint8_t> unit{0, 0, 0, 1, static_cast<uint8_t>(i), 1, 2, 3};
    ASSERT_TRUE(cam.send(kKindVideoH264, 5, unit)) << i;
  }
  ASSERT_TRUE(eventually(
      [&] {
        const mok_stats_t s = stats_of(c);
        return s.frames_decoded + s.frames_dropped >= kDecoded + kDropped;
      },
      60s));
  ASSERT_TRUE(eventually([&] { return frames.load() >= static_cast<int>(kDecoded); }, 5s));

  const mok_stats_t s = stats_of(c);
  EXPECT_EQ(s.video_packets, kDecoded + kDropped);
  EXPECT_EQ(s.video_packets_posted, kDecoded + kDropped);
  EXPECT_EQ(s.frames_decoded, kDecoded);
  EXPECT_EQ(s.frames_dropped, kDropped);
  EXPECT_EQ(s.frames_delivered, kDecoded);
  EXPECT_EQ(frames.load(), static_cast<int>(kDecoded));
  EXPECT_EQ(control->decode_calls.load(), static_cast<int32_t>(kDecoded));
  EXPECT_EQ(s.packets_received, kDecoded + kDropped);
  EXPECT_EQ(s.scan_results + s.ignored_packets + s.register_reports, 0u);

  // Without a callback a decoded frame still counts as decoded, but not as
  // delivered.
  ASSERT_EQ(mok_disable_video(c), MOK_OK);
  control->decode_delay_ms = 0;
  mok_clear_video_cb(c);
  ASSERT_EQ(mok_enable_video(c), MOK_OK);
  ASSERT_TRUE(cam.send(kKindVideoH264, 5, std::vector<uint8_t>{0, 0, 0, 1, 9, 9}));
  ASSERT_TRUE(eventually([&] { return stats_of(c).frames_decoded == kDecoded + 1; }, 10s));
  EXPECT_EQ(stats_of(c).frames_delivered, kDecoded);
  EXPECT_EQ(stats_of(c).video_packets_posted, kDecoded + kDropped + 1);

  ASSERT_EQ(mok_disable_video(c), MOK_OK);
  mok_close(c);
  dlclose(lib);
}

}  // namespace
}  // namespace mok::test
