// Rate limit of repeated log records: a kind passes its quota per window,
// the rest are counted and reported with the next record that passes.
#include "common/log_limit.hpp"

#include <string_view>

#include <gtest/gtest.h>

namespace mok::log {
namespace {

constexpr std::string_view kTarget = "mok_media::video_decode_service";
constexpr std::string_view kFailed = "Failed to decode frame: {}";
constexpr std::string_view kOther = "Decoding too slow ({:.2f} ms)";

TEST(LogRateLimit, KindPassesItsQuotaThenCountsWhatItHoldsBack) {
  RateLimit limit;
  for (std::uint32_t i = 0; i < RateLimit::kPerWindow; ++i) {
    const auto v = limit.admit(1, kTarget, kFailed, 5000 + i);
    EXPECT_TRUE(v.pass);
    EXPECT_EQ(v.same.count, 0u);
  }
  for (int i = 0; i < 25; ++i) EXPECT_FALSE(limit.admit(1, kTarget, kFailed, 5100).pass);
  // Another kind has a quota of its own.
  EXPECT_TRUE(limit.admit(1, kTarget, kOther, 5100).pass);
  // The next window: the first record passes and carries the count.
  const auto v = limit.admit(1, kTarget, kFailed, 5000 + RateLimit::kWindowMs);
  EXPECT_TRUE(v.pass);
  EXPECT_EQ(v.same.count, 25u);
  EXPECT_EQ(v.same.format, kFailed);
  EXPECT_EQ(limit.admit(1, kTarget, kFailed, 5000 + RateLimit::kWindowMs + 1).same.count, 0u);
}

TEST(LogRateLimit, KindTakingOverASlotHandsBackTheHeldCount) {
  RateLimit limit;
  for (std::uint32_t i = 0; i <= RateLimit::kPerWindow; ++i) (void)limit.admit(2, kTarget, kFailed, 0);
  // More kinds than there are slots: every slot is taken, so the first kind,
  // quiet the longest, gives way and its held record is reported, not lost.
  std::uint64_t evicted = 0;
  static char formats[8 * RateLimit::kSlots][1];
  for (auto& f : formats) evicted += limit.admit(1, kTarget, std::string_view(f, 1), 1).evicted.count;
  EXPECT_EQ(evicted, 1u);
}

}  // namespace
}  // namespace mok::log
