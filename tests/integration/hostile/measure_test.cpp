// Not tests (all disabled): drivers that print the peak resident memory of a
// host under a flooding peer, for the performance notes. Run one at a time:
//   integration_hostile --gtest_also_run_disabled_tests --gtest_filter='HostileMeasure.<name>'
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <chrono>
#include <cstdio>
#include <vector>

#include "fakes/device_stats.hpp"
#include "fake_decoder.hpp"
#include "fakes/fake_camera.hpp"
#include "peer.hpp"

namespace {

using mok::reliability::wait_until;
using mok::test::stats_of;

long peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

TEST(HostileMeasure, DISABLED_SnapshotFlood) {
  mok::test::FakeCamera cam;
  mok_client_t* h = mok_connect(cam.address().c_str());
  ASSERT_EQ(mok_start(h), MOK_OK);
  ASSERT_TRUE(cam.wait_accepted());
  const std::vector<std::uint8_t> image(1 << 20, 0x5A);
  constexpr std::size_t kImages = 400;
  for (std::size_t i = 0; i < kImages; ++i) ASSERT_TRUE(cam.send(mok::test::kKindData, 2, image));
  ASSERT_TRUE(wait_until([&] { return stats_of(h).snapshot_images == kImages; }));
  std::printf("snapshot flood: %zu x 1 MiB never received, peak RSS %ld MiB\n", kImages, peak_rss_mib());
  mok_close(h);
}

// Valid-looking access units at loopback speed into a decoder that takes
// 30 ms each; then how long mok_close takes with whatever is queued.
TEST(HostileMeasure, DISABLED_VideoFlood) {
  mok::test::FakeDecoder decoder;
  ASSERT_NE(decoder.control(), nullptr);
  decoder.control()->decode_delay_ms = 30;  // under the real-time rule's 33 ms: nothing is shed
  mok::test::FakeCamera cam;
  mok_client_t* h = mok_connect(cam.address().c_str());
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  ASSERT_EQ(mok_start(h), MOK_OK);
  ASSERT_TRUE(cam.wait_accepted());
  constexpr std::size_t kUnits = 800;
  for (std::size_t i = 0; i < kUnits; ++i) {
    ASSERT_TRUE(cam.send(mok::test::kKindVideoH264, 7, mok::test::h264_unit(i % 30 == 0, 256 * 1024)));
  }
  ASSERT_TRUE(wait_until([&] { return stats_of(h).video_packets == kUnits; }, std::chrono::seconds(60)));
  const auto start = std::chrono::steady_clock::now();
  mok_close(h);
  const auto took = std::chrono::steady_clock::now() - start;
  std::printf("video flood: %zu x 256 KiB at 30 ms a decode, peak RSS %ld MiB, mok_close took %lld ms\n", kUnits,
              peak_rss_mib(), static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

}  // namespace
