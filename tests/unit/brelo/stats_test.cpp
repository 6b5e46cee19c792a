// The scan-rate window: what counts as the last second as time moves in
// 100 ms buckets, and that old buckets are reused rather than added up.
#include "brelo/stats.hpp"

#include <gtest/gtest.h>

namespace mok::brelo {
namespace {

TEST(RateWindow, CountsTheLastSecondAndForgetsOlderBuckets) {
  RateWindow w;
  EXPECT_EQ(w.count(0), 0u);
  const std::uint64_t t0 = 50'000;  // arbitrary clock origin
  for (int i = 0; i < 5; ++i) w.add(t0);
  for (int i = 0; i < 3; ++i) w.add(t0 + 450);
  EXPECT_EQ(w.count(t0 + 450), 8u);
  EXPECT_EQ(w.count(t0 + 999), 8u);
  // The first bucket [t0, t0+100) leaves the window once ten buckets follow.
  EXPECT_EQ(w.count(t0 + 1000), 3u);
  EXPECT_EQ(w.count(t0 + 1399), 3u);
  EXPECT_EQ(w.count(t0 + 1400), 0u);
  // A bucket slot used again a second later starts from zero.
  w.add(t0 + 1000);
  EXPECT_EQ(w.count(t0 + 1000), 4u);
  EXPECT_EQ(w.count(t0 + 1500), 1u);
  // Long silences leave nothing behind.
  EXPECT_EQ(w.count(t0 + 3'600'000), 0u);
}

TEST(RateWindow, ReaderBehindTheWriterSeesNoFutureBuckets) {
  RateWindow w;
  w.add(10'000);
  EXPECT_EQ(w.count(9'000), 0u);
  EXPECT_EQ(w.count(10'050), 1u);
}

}  // namespace
}  // namespace mok::brelo
