// Not tests (all disabled): drivers that print the peak resident memory of a
// host under a flooding peer, for the performance notes. Run one at a time:
//   integration_hostile --gtest_also_run_disabled_tests --gtest_filter='HostileMeasure.<name>'
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "fakes/device_stats.hpp"
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

}  // namespace
