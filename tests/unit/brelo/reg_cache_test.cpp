#include "brelo/reg_cache.hpp"

#include <initializer_list>

#include <gtest/gtest.h>

namespace mok::brelo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One record entry written by hand: reserved, word count, id LE, value bytes.
Bytes entry(std::uint16_t id, std::initializer_list<std::uint8_t> value, std::uint8_t words = 0xFF) {
  Bytes b{0, words == 0xFF ? static_cast<std::uint8_t>(value.size() / 2) : words, static_cast<std::uint8_t>(id),
          static_cast<std::uint8_t>(id >> 8)};
  b.insert(b.end(), value);
  return b;
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(RegCache, EmptyUntilReported) {
  RegCache c;
  apply_report(c, Bytes{});
  EXPECT_FALSE(c.exposure_time || c.laser_strength || c.task_id || c.laser_enable || c.cts || c.rts ||
               c.board_id || c.serial_number);
  EXPECT_EQ(c.width, 0);
  EXPECT_EQ(c.height, 0);
}

TEST(RegCache, SingleRegisterLeavesOthersUntouched) {
  RegCache c;
  c.task_id = 7;
  c.width = 640;
  apply_report(c, entry(reg::kExposureTime, {0x10, 0x27, 0, 0}));
  EXPECT_EQ(c.exposure_time, 10000u);
  EXPECT_EQ(c.task_id, 7u);
  EXPECT_EQ(c.width, 640);
  EXPECT_FALSE(c.rts);
}

TEST(RegCache, EveryRegisterConverted) {
  RegCache c;
  apply_report(c,
               cat({entry(reg::kCts, {1, 2, 3, 4, 5, 6, 7, 8}),
                    entry(reg::kRts, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}),
                    entry(reg::kSerialNumber, {'S', 'N', '1', '2'}), entry(reg::kBoardId, {'B', 'D', 0xFF, 'x'}),
                    entry(reg::kImageWidth, {0x80, 0x02}), entry(reg::kImageHeight, {0xE0, 0x01, 0xAA, 0xBB}),
                    entry(reg::kExposureTime, {0xE8, 0x03, 0, 0}), entry(reg::kLaserEnable, {2, 0, 0, 0}),
                    entry(reg::kLaserStrength, {0x40, 0, 0, 0, 0x99, 0x99}),
                    entry(reg::kTaskId, {0xFF, 0xFF, 0xFF, 0xFF}), entry(0x1234, {1, 1})}));
  EXPECT_EQ(c.cts, 0x0807060504030201ULL);
  EXPECT_EQ(c.rts, 0x1122334455667788ULL);
  EXPECT_EQ(c.serial_number, "SN12");
  EXPECT_EQ(c.board_id, "BD\xEF\xBF\xBDx");  // invalid UTF-8 becomes U+FFFD
  EXPECT_EQ(c.width, 640);
  EXPECT_EQ(c.height, 480);
  EXPECT_EQ(c.exposure_time, 1000u);
  EXPECT_EQ(c.laser_enable, true);
  EXPECT_EQ(c.laser_strength, 0x40u);
  EXPECT_EQ(c.task_id, 0xFFFFFFFFu);
}

TEST(RegCache, ShortValueAreasReadAsZeroButPresent) {
  RegCache c;
  c.width = 99;
  apply_report(
      c, cat({entry(reg::kExposureTime, {1, 2}), entry(reg::kLaserEnable, {1, 0}), entry(reg::kCts, {1, 2, 3, 4}),
              entry(reg::kImageWidth, {}, 0), entry(reg::kSerialNumber, {}, 0)}));
  EXPECT_EQ(c.exposure_time, 0u);
  EXPECT_EQ(c.laser_enable, false);
  EXPECT_EQ(c.cts, 0u);
  EXPECT_EQ(c.width, 0);
  EXPECT_EQ(c.serial_number, "");
}

TEST(RegCache, LaserEnableZeroIsFalse) {
  RegCache c;
  apply_report(c, entry(reg::kLaserEnable, {0, 0, 0, 0}));
  EXPECT_EQ(c.laser_enable, false);
  apply_report(c, entry(reg::kLaserEnable, {0, 0, 0, 1}));
  EXPECT_EQ(c.laser_enable, true);
}

TEST(RegCache, FirstOfDuplicateIdsWins) {
  RegCache c;
  apply_report(c, cat({entry(reg::kTaskId, {5, 0, 0, 0}), entry(reg::kTaskId, {6, 0, 0, 0})}));
  EXPECT_EQ(c.task_id, 5u);
}

TEST(RegCache, OddTextKeepsItsPadByte) {
  RegCache c;
  apply_report(c, entry(reg::kSerialNumber, {'A', 'B', 'C', 'D', 'E', 0}));
  ASSERT_TRUE(c.serial_number);
  EXPECT_EQ(c.serial_number->size(), 6u);
  EXPECT_EQ(*c.serial_number, std::string("ABCDE\0", 6));
  // A later report replaces the text.
  apply_report(c, entry(reg::kSerialNumber, {'Z', 'Z'}));
  EXPECT_EQ(c.serial_number, "ZZ");
}

TEST(RegCache, CutShortEntryIsUnreachable) {
  RegCache c;
  // The exposure entry announces 8 value bytes but the record ends after 2.
  apply_report(c, cat({entry(reg::kTaskId, {1, 0, 0, 0}), entry(reg::kLaserStrength, {3, 0, 0, 0}),
                       entry(reg::kExposureTime, {1, 0}, 4)}));
  EXPECT_EQ(c.task_id, 1u);
  EXPECT_EQ(c.laser_strength, 3u);
  EXPECT_FALSE(c.exposure_time);
}

}  // namespace
}  // namespace mok::brelo
