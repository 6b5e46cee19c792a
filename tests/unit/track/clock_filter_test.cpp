// The clock filter against a remote clock with a known offset, drift and
// transport delay.
#include "track/clock_filter.hpp"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

namespace mok::track {
namespace {

constexpr std::int64_t kMs = 1'000'000;

TEST(ClockFilter, TakesTheSmallestDelayAtOnceAndIgnoresLateSamples) {
  ClockFilter clock;
  const std::int64_t base = 1'700'000'000'000 * kMs;
  EXPECT_EQ(clock.map(1000, base + 5 * kMs), base + 5 * kMs);  // first sample: delay unknown
  EXPECT_EQ(clock.offset_ns(), base + 4 * kMs);
  clock.map(2000, base + 3 * kMs);  // 1 ms delay: a better estimate, taken at once
  EXPECT_EQ(clock.offset_ns(), base + 1 * kMs);
  clock.map(3000, base + 104 * kMs);  // one packet 100 ms late does not lift it
  EXPECT_EQ(clock.map(4000, base + 6 * kMs), base + 4 * kMs + 1 * kMs);
  EXPECT_EQ(clock.resyncs(), 1u);
}

TEST(ClockFilter, StartsOverWhenTheRemoteClockJumps) {
  ClockFilter clock;
  clock.map(1'000'000, 10'000 * kMs);
  clock.map(1'001'000, 10'001 * kMs);
  // The camera's clock was set to the host's time: a jump of years.
  const std::int64_t host = 1'700'000'000'000 * kMs;
  EXPECT_EQ(clock.map(static_cast<std::uint64_t>(host / 1000), host + kMs), host + kMs);
  EXPECT_EQ(clock.resyncs(), 2u);
}

TEST(ClockFilter, FollowsDriftUnderJitter) {
  // A robot clock 50 ppm slow, poses at 250 Hz with 16 to 24 ms of delay.
  constexpr double kDrift = 50e-6;
  ClockFilter clock;
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::int64_t> delay(16 * kMs, 24 * kMs);
  double worst = 0;
  for (std::int64_t host = 0; host < 30'000 * kMs; host += 4 * kMs) {
    const auto stamp =
        static_cast<std::int64_t>(std::llround(static_cast<double>(host) * (1 - kDrift))) + 5'000 * kMs;
    const std::int64_t mapped = clock.sample(stamp, host + delay(rng));
    // Mapped to the host time the pose was true, plus the smallest delay.
    if (host > 3'000 * kMs) worst = std::max(worst, std::abs(static_cast<double>(mapped - host - 16 * kMs)));
  }
  EXPECT_NEAR(clock.drift_ppm(), 50.0, 10.0);
  EXPECT_LT(worst, 0.5 * kMs);
  EXPECT_EQ(clock.resyncs(), 1u);
}

}  // namespace
}  // namespace mok::track
