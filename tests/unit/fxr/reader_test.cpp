// Reader and RegisterIter: the walk rules (cut-short entries, duplicates,
// short values) and typed reads of every width.
#include "fxr/reader.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/wire.hpp"
#include "fxr/builder.hpp"

namespace {

using mok::fxr::Builder;
using mok::fxr::Reader;
using mok::fxr::RegisterIter;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::uint16_t> ids_of(std::span<const std::uint8_t> rec) {
  std::vector<std::uint16_t> ids;
  RegisterIter it{rec};
  while (auto e = it.next()) ids.push_back(e->id);
  return ids;
}

TEST(Reader, RecordsShorterThanAHeaderHaveNoEntries) {
  const Bytes rec{0x00, 0x01, 0x05};
  for (std::size_t n = 0; n <= rec.size(); ++n) {
    const std::span<const std::uint8_t> part(rec.data(), n);
    Reader r{part};
    EXPECT_FALSE(r.find(5).has_value()) << n;
    EXPECT_FALSE(r.peek<std::uint8_t>(5).has_value()) << n;
    RegisterIter it{part};
    EXPECT_FALSE(it.next().has_value()) << n;
    EXPECT_FALSE(it.next().has_value()) << n;
  }
}

TEST(Reader, CutShortEntryAndEverythingAfterItAreUnreachable) {
  Builder b;
  b.push<std::uint32_t>(1, 11);
  b.push<std::uint32_t>(2, 22);
  Bytes rec{b.bytes().begin(), b.bytes().end()};
  // Entry 3 announces 255 words, more than the rest of the record holds, so
  // the well-formed entry 4 behind it can never be reached either.
  rec.insert(rec.end(), {0x00, 0xFF, 0x03, 0x00, 1, 2, 3});
  rec.insert(rec.end(), {0x00, 0x01, 0x04, 0x00, 9, 9});

  Reader r{rec};
  EXPECT_EQ(r.peek<std::uint32_t>(1), 11u);
  EXPECT_EQ(r.peek<std::uint32_t>(2), 22u);
  EXPECT_FALSE(r.peek<std::uint32_t>(3).has_value());
  EXPECT_FALSE(r.peek<std::uint16_t>(4).has_value());
  EXPECT_FALSE(r.peek_text(3).has_value());

  RegisterIter it{rec};
  EXPECT_EQ(it.next()->id, 1);
  EXPECT_EQ(it.next()->id, 2);
  EXPECT_FALSE(it.next().has_value());
  EXPECT_FALSE(it.next().has_value()) << "the end must stick after a cut-short entry";
}

TEST(Reader, EntryExactlyFillingTheRecordIsReachable) {
  const Bytes rec{0x00, 0x02, 0x03, 0x00, 1, 2, 3, 4};
  EXPECT_EQ(Reader{rec}.peek<std::uint32_t>(3), 0x04030201u);
  const Bytes one_short(rec.begin(), rec.end() - 1);
  EXPECT_FALSE(Reader{one_short}.peek<std::uint32_t>(3).has_value());
}

TEST(Reader, TrailingBytesShorterThanAHeaderEndTheWalk) {
  Builder b;
  b.push<std::uint16_t>(1, 5);
  Bytes rec{b.bytes().begin(), b.bytes().end()};
  rec.insert(rec.end(), {0x00, 0x00, 0x02});
  EXPECT_EQ(ids_of(rec), (std::vector<std::uint16_t>{1}));
}

TEST(Reader, FirstDuplicateWinsForLookupsButIteratorSeesBoth) {
  Builder b;
  b.push<std::uint32_t>(4, 100);
  b.push<std::uint32_t>(5, 1);
  b.push<std::uint32_t>(4, 200);
  Reader r{b.bytes()};
  EXPECT_EQ(r.peek<std::uint32_t>(4), 100u);
  EXPECT_EQ(r.peek_slice<std::uint32_t>(4), (std::vector<std::uint32_t>{100}));
  EXPECT_EQ(ids_of(b.bytes()), (std::vector<std::uint16_t>{4, 5, 4}));
  // A reader is never used up: the same lookup answers again.
  EXPECT_EQ(r.peek<std::uint32_t>(4), 100u);
}

TEST(Reader, ShortValueReadsAsZeroButIsFound) {
  Builder b;
  b.push<std::uint16_t>(1, 0xFFFF);
  Reader r{b.bytes()};
  EXPECT_EQ(r.peek<std::uint32_t>(1), 0u);
  EXPECT_EQ(r.peek<std::int64_t>(1), 0);
  EXPECT_EQ(r.peek<double>(1), 0.0);
  EXPECT_EQ(r.peek<std::uint16_t>(1), 0xFFFFu);
  EXPECT_EQ(r.peek<std::uint8_t>(1), 0xFFu);

  // A zero-word entry (never written by us, but accepted from the device).
  const Bytes zero_words{0x00, 0x00, 0x07, 0x00};
  EXPECT_EQ(Reader{zero_words}.peek<std::uint8_t>(7), 0u);
  EXPECT_EQ(Reader{zero_words}.peek_slice<std::uint8_t>(7), Bytes{});
}

TEST(Reader, LongerValueIsReadFromItsFirstBytes) {
  const Bytes rec{0x00, 0x02, 0x01, 0x00, 0x03, 0x00, 0x01, 0x00};
  Reader r{rec};
  EXPECT_EQ(r.peek<std::uint16_t>(1), 3u);
  EXPECT_EQ(r.peek<std::uint32_t>(1), 0x00010003u);
}

TEST(Reader, ReservedByteIsIgnored) {
  const Bytes rec{0xA5, 0x01, 0x02, 0x00, 0x34, 0x12, 0xFF, 0x01, 0x03, 0x00, 0x01, 0x00};
  Reader r{rec};
  EXPECT_EQ(r.peek<std::uint16_t>(2), 0x1234u);
  EXPECT_EQ(r.peek<std::uint16_t>(3), 1u);
}

TEST(Reader, TypedRoundTripOfEveryWidth) {
  Builder b;
  b.push<std::int8_t>(1, -5);
  b.push<std::uint8_t>(2, 250);
  b.push<std::int16_t>(3, -30000);
  b.push<std::uint16_t>(4, 60000);
  b.push<std::int32_t>(5, std::numeric_limits<std::int32_t>::min());
  b.push<std::uint32_t>(6, 4000000000u);
  b.push<std::int64_t>(7, -1234567890123ll);
  b.push<std::uint64_t>(8, std::numeric_limits<std::uint64_t>::max());
  b.push<float>(9, -0.25f);
  b.push<double>(10, 6.02214076e23);
  Reader r{b.bytes()};
  EXPECT_EQ(r.peek<std::int8_t>(1), -5);
  EXPECT_EQ(r.peek<std::uint8_t>(2), 250);
  EXPECT_EQ(r.peek<std::int16_t>(3), -30000);
  EXPECT_EQ(r.peek<std::uint16_t>(4), 60000);
  EXPECT_EQ(r.peek<std::int32_t>(5), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(r.peek<std::uint32_t>(6), 4000000000u);
  EXPECT_EQ(r.peek<std::int64_t>(7), -1234567890123ll);
  EXPECT_EQ(r.peek<std::uint64_t>(8), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(r.peek<float>(9), -0.25f);
  EXPECT_EQ(r.peek<double>(10), 6.02214076e23);
  // Signed and unsigned of one width read the same bytes.
  EXPECT_EQ(r.peek<std::uint8_t>(1), 0xFB);
  EXPECT_EQ(r.peek<std::int32_t>(6), static_cast<std::int32_t>(4000000000u));
}

TEST(Reader, ArraysRoundTripAndLeftoverBytesAreIgnored) {
  Builder b;
  const std::vector<std::int16_t> three{-1, 2, -3};
  const std::vector<double> ds{1.5, -2.5};
  ASSERT_TRUE(b.encode_with<std::int16_t>(1, three).ok());
  ASSERT_TRUE(b.encode_with<double>(2, ds).ok());
  Reader r{b.bytes()};
  EXPECT_EQ(r.peek_slice<std::int16_t>(1), three);
  EXPECT_EQ(r.peek_slice<double>(2), ds);
  // Six bytes as 32-bit elements: one element, the last two bytes ignored.
  EXPECT_EQ(r.peek_slice<std::uint32_t>(1), (std::vector<std::uint32_t>{0x0002FFFFu}));
  EXPECT_EQ(r.peek_slice<std::uint64_t>(1), std::vector<std::uint64_t>{});
  EXPECT_FALSE(r.peek_slice<std::uint16_t>(3).has_value());
}

TEST(Reader, ByteArraysComeBackEvenWithTheirPadByte) {
  Builder b;
  ASSERT_TRUE(b.push(1, Bytes{7, 8, 9}).ok());
  ASSERT_TRUE(b.push(2, Bytes{}).ok());
  b.push<std::uint32_t>(3, 42);
  Reader r{b.bytes()};
  EXPECT_EQ(r.peek_slice<std::uint8_t>(1), (Bytes{7, 8, 9, 0}));
  EXPECT_EQ(r.peek_slice<std::int8_t>(1), (std::vector<std::int8_t>{7, 8, 9, 0}));
  EXPECT_EQ(r.peek_slice<std::uint8_t>(2), (Bytes{0, 0}));
  EXPECT_EQ(r.peek<std::uint32_t>(3), 42u) << "the entry after an empty value is found";
}

TEST(Reader, TextLookupKeepsThePadByteAsNul) {
  Builder b;
  ASSERT_TRUE(b.push(mok::wire::reg::kSerialNumber, std::string_view{"abc"}).ok());
  ASSERT_TRUE(b.push(mok::wire::reg::kBoardId, std::string_view{"abcd"}).ok());
  ASSERT_TRUE(b.push(3, std::string_view{""}).ok());
  Reader r{b.bytes()};
  EXPECT_EQ(r.peek_text(mok::wire::reg::kSerialNumber), std::string("abc\0", 4));
  EXPECT_EQ(r.peek_text(mok::wire::reg::kBoardId), std::string("abcd"));
  EXPECT_EQ(r.peek_text(3), std::string("\0\0", 2));
  EXPECT_FALSE(r.peek_text(4).has_value());
}

}  // namespace
