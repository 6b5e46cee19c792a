// Key-frame recognition by NAL unit type, after any start code in the unit.
#include "media/key_frame.hpp"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace mok::media {
namespace {

using U = std::vector<std::uint8_t>;

TEST(KeyFrame, FindsRandomAccessUnitsOfBothCodecsBehindOtherNalUnits) {
  // An access unit delimiter first, then an IDR slice (3-byte start code).
  EXPECT_TRUE(is_key_frame(CodecID::H264, U{0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x65, 0x88}));
  EXPECT_TRUE(is_key_frame(CodecID::H264, U{0, 0, 0, 1, 0x67, 0x42}));   // sequence parameter set
  EXPECT_FALSE(is_key_frame(CodecID::H264, U{0, 0, 0, 1, 0x41, 0x9A}));  // plain slice
  EXPECT_TRUE(is_key_frame(CodecID::H265, U{0, 0, 0, 1, 0x26, 0x01}));   // IDR_W_RADL
  EXPECT_TRUE(is_key_frame(CodecID::H265, U{0, 0, 1, 0x40, 0x01}));      // video parameter set
  EXPECT_FALSE(is_key_frame(CodecID::H265, U{0, 0, 0, 1, 0x02, 0x01}));  // trailing picture
}

TEST(KeyFrame, RefusesUnitsWithoutAStartCodeOrOfOtherCodecs) {
  EXPECT_FALSE(is_key_frame(CodecID::H264, U{0x65, 0x88, 0x84, 0x00}));
  EXPECT_FALSE(is_key_frame(CodecID::H264, U{0, 0, 1}));  // a start code with nothing after it
  EXPECT_FALSE(is_key_frame(CodecID::H264, U{}));
  EXPECT_FALSE(is_key_frame(CodecID::None, U{0, 0, 0, 1, 0x65}));
}

}  // namespace
}  // namespace mok::media
