// Head parsing and writing: the check order (a head may break several rules
// and the first one wins), every limit at its edge, flag masking and the text
// forms logs rely on.
#include "fxt/packet/head.hpp"

#include <gtest/gtest.h>

#include "wire_bytes.hpp"

namespace mok::fxt {
namespace {

using testing::raw_head;

Error parse_error(std::span<const uint8_t> bytes) {
  auto r = Head::parse(bytes);
  EXPECT_FALSE(r.ok());
  return r.ok() ? Error::invalid_head() : r.error();
}

TEST(HeadParse, NeedsTwentyFourBytesAndIgnoresTheRest) {
  auto b = raw_head(10, 0, 0, 1);
  EXPECT_EQ(parse_error({b.data(), 23}), Error::not_enough_data(23, 24));
  EXPECT_EQ(parse_error({b.data(), 0}), Error::not_enough_data(0, 24));
  std::vector<uint8_t> longer(b.begin(), b.end());
  longer.resize(100, 0xEE);
  auto r = Head::parse(longer);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->length, 10u);
}

TEST(HeadParse, LengthLimitsAtTheirEdges) {
  for (uint32_t small : {0u, 1u, 3u}) {
    auto b = raw_head(small, 0, 0, 0);
    EXPECT_EQ(parse_error(b), Error::length_too_small(small, 4)) << small;
  }
  EXPECT_TRUE(Head::parse(raw_head(4, 0, 0, 0)).ok());
  EXPECT_TRUE(Head::parse(raw_head(0x4000000, 0, 0, 0)).ok());
  EXPECT_EQ(parse_error(raw_head(0x4000001, 0, 0, 0)), Error::length_too_large(67108865, 67108864));
  // All four length bytes count: a value with only the top byte set is huge.
  EXPECT_EQ(parse_error(raw_head(0xFF000004, 0, 0, 0)).code(), Error::Code::LengthTooLarge);
}

TEST(HeadParse, ChecksInOrderLengthKindStream) {
  EXPECT_EQ(parse_error(raw_head(2, 0, 15, 600)), Error::length_too_small(2, 4));
  EXPECT_EQ(parse_error(raw_head(0x5000000, 0, 15, 600)).code(), Error::Code::LengthTooLarge);
  EXPECT_EQ(parse_error(raw_head(8, 0, 15, 600)), Error::unknown_kind(15));
  EXPECT_EQ(parse_error(raw_head(8, 0, 1, 600)), Error::invalid_stream_id(600));
}

TEST(HeadParse, StreamIdLimit) {
  EXPECT_EQ(Head::parse(raw_head(4, 0, 0, 511))->stream_id, 511);
  EXPECT_EQ(parse_error(raw_head(4, 0, 0, 512)), Error::invalid_stream_id(512));
  EXPECT_EQ(parse_error(raw_head(4, 0, 0, 0xFFFF)), Error::invalid_stream_id(65535));
  // The high byte matters: 0x0100 is 256, valid.
  EXPECT_EQ(Head::parse(raw_head(4, 0, 0, 0x0100))->stream_id, 256);
}

TEST(HeadParse, KindValidityTable) {
  const std::vector<uint8_t> valid{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 20, 21, 22, 23, 24, 25, 26, 30, 31, 32, 33};
  for (int code = 0; code < 256; ++code) {
    const bool expect = std::find(valid.begin(), valid.end(), code) != valid.end();
    auto c = static_cast<uint8_t>(code);
    EXPECT_EQ(kind_from_code(c).has_value(), expect) << code;
    auto r = Head::parse(raw_head(4, 0, c, 0));
    EXPECT_EQ(r.ok(), expect) << code;
    if (expect) {
      EXPECT_EQ(to_code(r->kind), c);
    } else {
      EXPECT_EQ(r.error(), Error::unknown_kind(c));
    }
  }
}

TEST(HeadParse, ReadsEveryFieldBigEndianAndMasksFlags) {
  auto b = raw_head(0x01020304, 0xFF, 23, 0x01FF, 0x1112131415161718, 0x2122232425262728);
  auto r = Head::parse(b);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->length, 0x01020304u);
  EXPECT_EQ(r->flags.bits, 0x6D);
  EXPECT_EQ(r->kind, Kind::VideoH264);
  EXPECT_EQ(r->stream_id, 0x01FF);
  EXPECT_EQ(r->seq, 0x1112131415161718u);
  EXPECT_EQ(r->ts, 0x2122232425262728u);
  EXPECT_EQ(Head::parse(raw_head(4, 0x92, 0, 0))->flags.bits, 0);
}

TEST(HeadWrite, WritesAsHeldAndRoundTrips) {
  Head h{0x4000000, Flags{0x92}, Kind::RawRgb, 511, ~0ull, 0x0102030405060708};
  auto b = h.to_bytes();
  EXPECT_EQ(b, raw_head(0x4000000, 0x92, 33, 511, ~0ull, 0x0102030405060708));
  // Undefined kinds are written too; only parsing refuses them.
  Head odd{4, Flags{}, static_cast<Kind>(200), 0, 0, 0};
  EXPECT_EQ(odd.to_bytes()[5], 200);

  Head valid{77, Flags{Flags::kReadonly | Flags::kEndStream}, Kind::Json, 42, 9, 10};
  auto back = Head::parse(valid.to_bytes());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, valid);
}

TEST(HeadMake, SeqZeroAndTimeDoesNotGoBack) {
  Head a = Head::make(8, Flags{}, Kind::Data, 3);
  Head b = Head::make(8, Flags{}, Kind::Data, 3);
  EXPECT_EQ(a.seq, 0u);
  EXPECT_EQ(a.length, 8u);
  EXPECT_EQ(a.stream_id, 3);
  EXPECT_GT(a.ts, 0u);
  EXPECT_LE(a.ts, b.ts);
}

TEST(HeadText, DebugForm) {
  Head h{10, Flags{0x05}, Kind::FlexRegs, 18, 2, 3};
  EXPECT_EQ(debug_string(h),
            "Head { length: 10, flags: Flags(END_STREAM | END_HEADERS), kind: FlexRegs, "
            "stream_id: 18, seq: 2, ts: 3 }");
}

TEST(FlagsText, PlainAndDebugForms) {
  EXPECT_EQ(to_string(Flags{0}), "");
  EXPECT_EQ(debug_string(Flags{0}), "Flags(0x0)");
  EXPECT_EQ(debug_string(Flags{0x05}), "Flags(END_STREAM | END_HEADERS)");
  EXPECT_EQ(debug_string(Flags{0x02}), "Flags(0x2)");
  EXPECT_EQ(to_string(Flags{0x6D}), "END_STREAM | END_HEADERS | PADDED | PRIORITY | READONLY");
  EXPECT_EQ(to_string(Flags{0xFF}), "END_STREAM | END_HEADERS | PADDED | PRIORITY | READONLY | 0x92");
  EXPECT_EQ(to_string(Flags{0x80}), "0x80");
  EXPECT_EQ(to_string(Flags{0x41}), "END_STREAM | READONLY");
  EXPECT_EQ(Flags::from_received(0xFF).bits, Flags::kAll);
  EXPECT_EQ(Flags::from_received(0x92).bits, 0);
}

TEST(KindText, NamesAndUnknown) {
  EXPECT_EQ(to_string(Kind::Data), "Data");
  EXPECT_EQ(to_string(Kind::PushPromise), "PushPromise");
  EXPECT_EQ(to_string(Kind::VideoH265), "VideoH265");
  EXPECT_EQ(to_string(Kind::RawRgb), "RawRgb");
  EXPECT_EQ(to_string(Kind::Unknown), "Unknown");
  EXPECT_EQ(to_string(static_cast<Kind>(15)), "Unknown");
}

}  // namespace
}  // namespace mok::fxt
