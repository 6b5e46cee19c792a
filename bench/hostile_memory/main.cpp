// Drivers that print the peak resident memory of a host under a flooding
// peer, for the performance notes; the peak is the process's, so run one at
// a time: mok-bench-hostile-memory --gtest_filter='HostileMeasure.<name>'
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "mok/mok_fxt.h"
#include "support/device_stats.hpp"
#include "support/eventually.hpp"
#include "support/fake_camera.hpp"
#include "support/fake_media/fake_decoder.hpp"
#include "support/process_figures.hpp"
#include "support/scripted_peer.hpp"

namespace {

using mok::test::eventually;
using mok::test::stats_of;

long peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

TEST(HostileMeasure, SnapshotFlood) {
  mok::test::FakeCamera cam;
  mok_client_t* h = mok_connect(cam.address().c_str());
  ASSERT_EQ(mok_start(h), MOK_OK);
  ASSERT_TRUE(cam.wait_accepted());
  const std::vector<std::uint8_t> image(1 << 20, 0x5A);
  constexpr std::size_t kImages = 400;
  for (std::size_t i = 0; i < kImages; ++i) ASSERT_TRUE(cam.send(mok::test::kKindData, 2, image));
  ASSERT_TRUE(eventually([&] { return stats_of(h).snapshot_images == kImages; }));
  std::printf("snapshot flood: %zu x 1 MiB never received, peak RSS %ld MiB\n", kImages, peak_rss_mib());
  mok_close(h);
}

// Valid-looking access units at loopback speed into a decoder that takes
// 30 ms each; then how long mok_close takes with whatever is queued.
TEST(HostileMeasure, VideoFlood) {
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
  ASSERT_TRUE(eventually([&] { return stats_of(h).video_packets == kUnits; }, std::chrono::seconds(60)));
  const auto start = std::chrono::steady_clock::now();
  mok_close(h);
  const auto took = std::chrono::steady_clock::now() - start;
  std::printf("video flood: %zu x 256 KiB at 30 ms a decode, peak RSS %ld MiB, mok_close took %lld ms\n", kUnits,
              peak_rss_mib(),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

struct Kept {
  std::mutex m;
  std::vector<mok_fxt_packet_t*> clones;
  std::atomic<int> seen{0};
} g_kept;

void keep_small(mok_fxt_packet_t* p) {
  if (mok_fxt_packet_payload_len(p) < 4096) {
    std::lock_guard lock(g_kept.m);
    g_kept.clones.push_back(mok_fxt_packet_clone(p));
  }
  g_kept.seen.fetch_add(1);
}
void ignore_state(uint32_t) {}

// One 64 MiB packet, then four 1 KiB ones the host keeps clones of: what
// stays resident once the connection has gone quiet.
TEST(HostileMeasure, SmallClonesAfterALargePacket) {
  mok::test::ScriptedPeer peer;
  mok_fxt_conn_t* conn = mok_fxt_connect(peer.address().c_str(), keep_small, ignore_state);
  ASSERT_TRUE(peer.wait_accepted(1));
  const std::size_t before = mok::test::resident_bytes();
  {
    std::vector<std::uint8_t> wire =
        mok::test::encode_wire(0, 5, std::vector<std::uint8_t>(std::size_t{64} << 20, 1), 0, 1);
    for (int i = 0; i < 4; ++i) {
      const auto small = mok::test::encode_wire(0, 5, std::vector<std::uint8_t>(1024, 2), 0, 2 + i);
      wire.insert(wire.end(), small.begin(), small.end());
    }
    ASSERT_TRUE(peer.send(wire, std::chrono::seconds(30)));
  }
  ASSERT_TRUE(eventually([] { return g_kept.seen.load() == 5; }, std::chrono::seconds(30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::size_t after = mok::test::resident_bytes();
  std::printf("small clones: 64 MiB packet then 4 x 1 KiB kept, resident %+lld MiB once idle, peak RSS %ld MiB\n",
              (static_cast<long long>(after) - static_cast<long long>(before)) / (1 << 20), peak_rss_mib());
  for (auto* p : g_kept.clones) mok_fxt_packet_free(p);
  mok_fxt_disconnect(conn);
}

}  // namespace
