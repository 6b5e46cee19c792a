// Builder: entries come out byte for byte as the device expects them, and a
// value too long for the 8-bit word count is refused without touching the record.
#include "fxr/builder.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/wire.hpp"
#include "fxr/reader.hpp"

namespace {

using mok::fxr::Builder;
using mok::fxr::PushError;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const Builder& b) { return {b.bytes().begin(), b.bytes().end()}; }

TEST(Builder, WorkedEncodingsMatchByteForByte) {
  Builder b;
  b.push<std::uint32_t>(mok::wire::reg::kExposureTime, 1000);
  EXPECT_EQ(bytes_of(b), (Bytes{0x00, 0x02, 0x00, 0x18, 0xE8, 0x03, 0x00, 0x00}));

  b = Builder::new_();
  b.push<std::uint8_t>(5, 0xAB);
  EXPECT_EQ(bytes_of(b), (Bytes{0x00, 0x01, 0x05, 0x00, 0xAB, 0x00}));

  b = Builder{};
  b.push<std::int16_t>(0x0102, -2);
  EXPECT_EQ(bytes_of(b), (Bytes{0x00, 0x01, 0x02, 0x01, 0xFE, 0xFF}));

  b = Builder{};
  b.push<float>(7, 1.5f);
  EXPECT_EQ(bytes_of(b), (Bytes{0x00, 0x02, 0x07, 0x00, 0x00, 0x00, 0xC0, 0x3F}));

  b = Builder{};
  ASSERT_TRUE(b.push(mok::wire::reg::kSerialNumber, std::string_view{"abc"}).ok());
  EXPECT_EQ(bytes_of(b), (Bytes{0x00, 0x02, 0xB0, 0x11, 0x61, 0x62, 0x63, 0x00}));

  b = Builder{};
  ASSERT_TRUE(b.push(9, std::span<const std::uint8_t>{}).ok());
  EXPECT_EQ(bytes_of(b), (Bytes{0x00, 0x01, 0x09, 0x00, 0x00, 0x00}));
}

TEST(Builder, SixtyFourBitValuesTakeFourWords) {
  Builder b;
  b.push<std::uint64_t>(mok::wire::reg::kRts, 0x0102030405060708ull);
  b.push<double>(2, -2.0);
  EXPECT_EQ(bytes_of(b), (Bytes{0x00, 0x04, 0x08, 0x11, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
                                0x00, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0}));
}

TEST(Builder, EncodeWithWritesElementsLittleEndian) {
  Builder b;
  const std::vector<std::uint16_t> v{0x0102, 0x0304, 0x0506};
  ASSERT_TRUE(b.encode_with<std::uint16_t>(3, 6, v).ok());
  EXPECT_EQ(bytes_of(b), (Bytes{0x00, 0x03, 0x03, 0x00, 0x02, 0x01, 0x04, 0x03, 0x06, 0x05}));

  b = Builder{};
  ASSERT_TRUE(b.encode_with<std::int32_t>(4, std::span<const std::int32_t>{}).ok());
  EXPECT_EQ(bytes_of(b), (Bytes{0x00, 0x01, 0x04, 0x00, 0x00, 0x00}));
}

TEST(Builder, EncodeWithRefusesAByteLengthThatDisagreesWithTheElements) {
  Builder b;
  const std::vector<std::uint32_t> v{1, 2};
  const auto r = b.encode_with<std::uint32_t>(3, 6, v);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), PushError::LengthMismatch);
  EXPECT_TRUE(b.empty());
}

TEST(Builder, OddByteArrayGetsOnePadByte) {
  Builder b;
  const Bytes v{1, 2, 3};
  ASSERT_TRUE(b.push(0x20, v).ok());
  EXPECT_EQ(bytes_of(b), (Bytes{0x00, 0x02, 0x20, 0x00, 1, 2, 3, 0}));
}

// A value of more than 510 bytes cannot be described by an 8-bit word count.
// Writing it with the count cut to 8 bits would make readers walk into the
// middle of the value, so the push is refused and the record stays as it was.
TEST(Builder, ValueLongerThan510BytesIsRefusedAndRecordUnchanged) {
  Builder b;
  b.push<std::uint32_t>(1, 7);
  const Bytes before = bytes_of(b);

  const Bytes too_long(511, 0x41);
  const auto r = b.push(2, too_long);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), PushError::ValueTooLong);
  EXPECT_FALSE(b.push(2, std::string(600, 'x')).ok());
  const std::vector<std::uint64_t> many(64);  // 512 bytes
  EXPECT_EQ(b.encode_with<std::uint64_t>(3, many).error(), PushError::ValueTooLong);
  EXPECT_EQ(bytes_of(b), before);

  // 510 bytes is the largest value that fits: 255 words.
  const Bytes longest(510, 0x42);
  ASSERT_TRUE(b.push(4, longest).ok());
  EXPECT_EQ(b.size(), before.size() + 4 + 510);
  EXPECT_EQ(b.bytes()[before.size() + 1], 255);
  EXPECT_EQ(mok::fxr::Reader{b.bytes()}.peek_slice<std::uint8_t>(4), longest);
}

TEST(Builder, RawAppendAddsBytesWithoutHeaderAndEntriesFollowOn) {
  Builder b;
  b.append_raw(Bytes{0x00, 0x01, 0x05, 0x00, 0x11, 0x22});
  b.push<std::uint16_t>(6, 0x3344);
  const auto out = std::move(b).into_bytes();
  EXPECT_EQ(out, (Bytes{0x00, 0x01, 0x05, 0x00, 0x11, 0x22, 0x00, 0x01, 0x06, 0x00, 0x44, 0x33}));
}

}  // namespace
