// MapTo text conversion: invalid UTF-8 is replaced sequence by sequence,
// valid text and zero bytes pass through unchanged.
#include "fxr/map_to.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using mok::fxr::map_to;

std::string text(std::vector<std::uint8_t> bytes) { return map_to<std::string>(bytes); }

const std::string kRep = "\xEF\xBF\xBD";

TEST(MapToText, ValidUtf8AndZeroBytesPassThrough) {
  EXPECT_EQ(text({'a', 0, 'b', 0}), std::string("a\0b\0", 4));
  // U+00E9, U+20AC, U+1F600
  EXPECT_EQ(text({0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(MapToText, EachInvalidSequenceBecomesOneReplacement) {
  // Lone continuation byte and a byte that never starts a sequence.
  EXPECT_EQ(text({'a', 0x80, 'b', 0xFF}), "a" + kRep + "b" + kRep);
  // Truncated three-byte sequence followed by ASCII: one replacement for both bytes.
  EXPECT_EQ(text({0xE2, 0x82, 'x', 0}), kRep + "x" + std::string(1, '\0'));
  // Truncated at the end of the value.
  EXPECT_EQ(text({'o', 'k', 0xF0, 0x9F}), "ok" + kRep);
  // Overlong encoding and a UTF-16 surrogate are not characters.
  EXPECT_EQ(text({0xC0, 0xAF}), kRep + kRep);
  EXPECT_EQ(text({0xED, 0xA0, 0x80, 'z'}), kRep + kRep + kRep + "z");
  // Above U+10FFFF.
  EXPECT_EQ(text({0xF4, 0x90, 0x80, 0x80}), kRep + kRep + kRep + kRep);
}

TEST(MapToScalar, ReadsLittleEndianAndZeroWhenShort) {
  const std::vector<std::uint8_t> b{0x01, 0x02, 0x03};
  EXPECT_EQ(map_to<std::uint16_t>(b), 0x0201u);
  EXPECT_EQ(map_to<std::uint32_t>(b), 0u);
  EXPECT_EQ(map_to<std::int8_t>(std::vector<std::uint8_t>{0x80}), -128);
  EXPECT_EQ((map_to<std::vector<std::uint16_t>>(b)), (std::vector<std::uint16_t>{0x0201}));
}

}  // namespace
