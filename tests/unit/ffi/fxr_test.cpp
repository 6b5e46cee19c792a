// The mok_fxr_* C interface: encodings seen through the builder view, status
// codes in their documented order, the capacity protocols, refusals of
// over-long values, and NULL everywhere.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/wire.hpp"
#include "mok/mok_fxr.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct BuilderDeleter {
  void operator()(mok_fxr_builder_t* b) const { mok_fxr_builder_free(b); }
};
using BuilderPtr = std::unique_ptr<mok_fxr_builder_t, BuilderDeleter>;

struct IterDeleter {
  void operator()(mok_fxr_iter_t* i) const { mok_fxr_iter_free(i); }
};
using IterPtr = std::unique_ptr<mok_fxr_iter_t, IterDeleter>;

BuilderPtr make_builder() {
  BuilderPtr b{mok_fxr_builder_new()};
  EXPECT_NE(b, nullptr);
  return b;
}

Bytes bytes_of(const mok_fxr_builder_t* b) {
  const mok_fxr_view_t v = mok_fxr_builder_view(b);
  return Bytes(v.data, v.data + v.len);
}

TEST(FxrCapi, PushesProduceTheDocumentedBytes) {
  auto b = make_builder();
  mok_fxr_push_u32(b.get(), mok::wire::reg::kExposureTime, 1000);
  EXPECT_EQ(bytes_of(b.get()), (Bytes{0x00, 0x02, 0x00, 0x18, 0xE8, 0x03, 0x00, 0x00}));

  b = make_builder();
  mok_fxr_push_u8(b.get(), 5, 0xAB);
  EXPECT_EQ(bytes_of(b.get()), (Bytes{0x00, 0x01, 0x05, 0x00, 0xAB, 0x00}));

  b = make_builder();
  const std::uint16_t none[1] = {0};
  mok_fxr_push_cstr(b.get(), 9, "");
  mok_fxr_push_u16s(b.get(), 9, none, 0);
  EXPECT_EQ(bytes_of(b.get()), (Bytes{0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x00, 0x01, 0x09, 0x00, 0x00, 0x00}));

  const std::uint8_t raw[3] = {1, 2, 3};
  const std::size_t before = mok_fxr_builder_view(b.get()).len;
  mok_fxr_push_bytes(b.get(), raw, sizeof raw);
  EXPECT_EQ(mok_fxr_builder_view(b.get()).len, before + 3);
  EXPECT_EQ(bytes_of(b.get()).back(), 3);
}

TEST(FxrCapi, OverLongValuesAreRefusedSilently) {
  auto b = make_builder();
  mok_fxr_push_u16(b.get(), 1, 0x0102);
  const Bytes before = bytes_of(b.get());

  const std::vector<std::uint8_t> u8s(511, 0x55);
  const std::vector<std::uint64_t> u64s(64, 1);  // 512 bytes
  const std::string text(511, 'x');
  mok_fxr_push_u8s(b.get(), 2, u8s.data(), u8s.size());
  mok_fxr_push_u64s(b.get(), 3, u64s.data(), u64s.size());
  mok_fxr_push_cstr(b.get(), 4, text.c_str());
  // A count whose byte size would wrap around must not slip through.
  mok_fxr_push_u32s(b.get(), 5, reinterpret_cast<const std::uint32_t*>(u8s.data()), SIZE_MAX / 2 + 2);
  EXPECT_EQ(bytes_of(b.get()), before);

  const std::vector<std::uint16_t> longest(255, 7);
  mok_fxr_push_u16s(b.get(), 6, longest.data(), longest.size());
  mok_fxr_view_t v = mok_fxr_builder_view(b.get());
  std::vector<std::uint16_t> back(255);
  EXPECT_EQ(mok_fxr_peek_u16s(&v, 6, back.data(), back.size()), 255);
  EXPECT_EQ(back, longest);
}

TEST(FxrCapi, ScalarLookups) {
  auto b = make_builder();
  mok_fxr_push_u16(b.get(), 1, 0xBEEF);
  const std::uint8_t four[] = {0x00, 0x02, 0x02, 0x00, 0x03, 0x00, 0x01, 0x00};
  mok_fxr_push_bytes(b.get(), four, sizeof four);
  mok_fxr_push_f64(b.get(), 3, -0.5);
  mok_fxr_view_t v = mok_fxr_builder_view(b.get());

  std::uint32_t u32 = 99;
  EXPECT_EQ(mok_fxr_peek_u32(&v, 1, &u32), MOK_FXR_OK);
  EXPECT_EQ(u32, 0u) << "a value shorter than the type reads as 0 and is found";
  std::uint16_t u16 = 0;
  EXPECT_EQ(mok_fxr_peek_u16(&v, 2, &u16), MOK_FXR_OK);
  EXPECT_EQ(u16, 3u);
  std::int8_t i8 = 0;
  EXPECT_EQ(mok_fxr_peek_i8(&v, 1, &i8), MOK_FXR_OK);
  EXPECT_EQ(i8, static_cast<std::int8_t>(0xEF));
  double f64 = 0;
  EXPECT_EQ(mok_fxr_peek_f64(&v, 3, &f64), MOK_FXR_OK);
  EXPECT_EQ(f64, -0.5);

  std::int64_t untouched = 77;
  EXPECT_EQ(mok_fxr_peek_i64(&v, 4, &untouched), MOK_FXR_ERR_NOT_FOUND);
  EXPECT_EQ(untouched, 77);
  EXPECT_EQ(mok_fxr_peek_i64(&v, 4, nullptr), MOK_FXR_ERR_NULL);
  EXPECT_EQ(mok_fxr_peek_i64(nullptr, 1, &untouched), MOK_FXR_ERR_NULL);
}

TEST(FxrCapi, ArrayLookupCapacityProtocol) {
  auto b = make_builder();
  const std::uint8_t three[] = {7, 8, 9};
  mok_fxr_push_u8s(b.get(), 1, three, 3);
  const float fs[] = {1.0f, -2.0f, 0.25f};
  mok_fxr_push_f32s(b.get(), 2, fs, 3);
  mok_fxr_view_t v = mok_fxr_builder_view(b.get());

  std::uint8_t dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(mok_fxr_peek_u8s(&v, 1, dst, 3), MOK_FXR_ERR_TOO_SMALL);
  EXPECT_EQ(dst[0], 0xEE) << "nothing is stored when the destination is too small";
  EXPECT_EQ(mok_fxr_peek_u8s(&v, 1, dst, 4), 4) << "exact fit, pad byte included";
  EXPECT_EQ(Bytes(dst, dst + 4), (Bytes{7, 8, 9, 0}));

  float fdst[3] = {};
  EXPECT_EQ(mok_fxr_peek_f32s(&v, 2, fdst, 3), 3);
  EXPECT_EQ(fdst[1], -2.0f);
  EXPECT_EQ(fdst[2], 0.25f);
  // Twelve bytes as 64-bit elements: one element, four bytes left over.
  std::uint64_t u64s[2] = {};
  EXPECT_EQ(mok_fxr_peek_u64s(&v, 2, u64s, 2), 1);

  // Checks come in order: NULL pointers, then the search, then the capacity.
  EXPECT_EQ(mok_fxr_peek_u8s(&v, 1, nullptr, 0), MOK_FXR_ERR_NULL);
  EXPECT_EQ(mok_fxr_peek_u8s(&v, 9, dst, 0), MOK_FXR_ERR_NOT_FOUND);
  EXPECT_EQ(mok_fxr_peek_u8s(nullptr, 1, dst, 4), MOK_FXR_ERR_NULL);
}

TEST(FxrCapi, ArrayLookupIntoTheRecordItselfSeesTheOriginalValues) {
  // Hosts may reuse the record's buffer as the destination; the copy goes
  // through a temporary, so the elements are not read after being overwritten.
  const std::uint16_t vals[] = {0x1111, 0x2222, 0x3333, 0x4444};
  auto b = make_builder();
  mok_fxr_push_u16s(b.get(), 1, vals, 4);
  Bytes rec = bytes_of(b.get());
  mok_fxr_view_t v = mok_fxr_view(rec.data(), rec.size());
  auto* dst = reinterpret_cast<std::uint16_t*>(rec.data() + 2);  // overlaps header and values
  ASSERT_EQ(mok_fxr_peek_u16s(&v, 1, dst, 4), 4);
  std::uint16_t got[4];
  std::memcpy(got, dst, sizeof got);
  EXPECT_EQ(got[0], 0x1111);
  EXPECT_EQ(got[3], 0x4444);
}

TEST(FxrCapi, TextLookupCapacityProtocol) {
  auto b = make_builder();
  mok_fxr_push_cstr(b.get(), mok::wire::reg::kSerialNumber, "abc");
  mok_fxr_push_cstr(b.get(), mok::wire::reg::kBoardId, "abcd");
  mok_fxr_view_t v = mok_fxr_builder_view(b.get());

  char dst[8];
  std::memset(dst, 'Z', sizeof dst);
  EXPECT_EQ(mok_fxr_peek_cstr(&v, mok::wire::reg::kSerialNumber, dst, 5), 4);
  EXPECT_EQ(std::string(dst, 5), std::string("abc\0\0", 5));
  std::memset(dst, 'Z', sizeof dst);
  EXPECT_EQ(mok_fxr_peek_cstr(&v, mok::wire::reg::kSerialNumber, dst, 4), MOK_FXR_ERR_TOO_SMALL);
  EXPECT_EQ(dst[0], 'Z');
  EXPECT_EQ(mok_fxr_peek_cstr(&v, mok::wire::reg::kBoardId, dst, 5), 4);
  EXPECT_STREQ(dst, "abcd");

  EXPECT_EQ(mok_fxr_peek_cstr(&v, 0x7777, dst, 0), MOK_FXR_ERR_TOO_SMALL)
      << "a zero capacity is refused before the search";
  EXPECT_EQ(mok_fxr_peek_cstr(&v, 0x7777, dst, 5), MOK_FXR_ERR_NOT_FOUND);
  EXPECT_EQ(mok_fxr_peek_cstr(&v, mok::wire::reg::kSerialNumber, nullptr, 5), MOK_FXR_ERR_NULL);
  EXPECT_EQ(mok_fxr_peek_cstr(nullptr, mok::wire::reg::kSerialNumber, dst, 5), MOK_FXR_ERR_NULL);
}

TEST(FxrCapi, MaxTextBufferFitsTheWorstCaseValue) {
  // 510 bytes that are all invalid UTF-8 grow to 1530 bytes of replacements.
  const std::vector<std::uint8_t> junk(510, 0xFF);
  auto b = make_builder();
  mok_fxr_push_u8s(b.get(), 1, junk.data(), junk.size());
  mok_fxr_view_t v = mok_fxr_builder_view(b.get());
  std::vector<char> dst(MOK_FXR_MAX_TEXT_BYTES);
  EXPECT_EQ(mok_fxr_peek_cstr(&v, 1, dst.data(), dst.size()), 1530);
  EXPECT_EQ(std::string(dst.data(), 3), "\xEF\xBF\xBD");
  EXPECT_EQ(dst[1530], '\0');
  EXPECT_EQ(mok_fxr_peek_cstr(&v, 1, dst.data(), dst.size() - 1), MOK_FXR_ERR_TOO_SMALL);
}

TEST(FxrCapi, IteratorWalksEntriesAndStopsForGood) {
  auto b = make_builder();
  mok_fxr_push_u32(b.get(), 4, 1);
  mok_fxr_push_cstr(b.get(), 5, "hello");
  mok_fxr_push_u32(b.get(), 4, 2);
  IterPtr it{mok_fxr_iter_new(mok_fxr_builder_view(b.get()))};
  ASSERT_NE(it, nullptr);

  mok_fxr_entry_t e{};
  ASSERT_TRUE(mok_fxr_iter_next(it.get(), &e));
  EXPECT_EQ(e.id, 4);
  EXPECT_EQ(mok_fxr_as_u32(&e), 1u);
  ASSERT_TRUE(mok_fxr_iter_next(it.get(), &e));
  EXPECT_EQ(e.id, 5);
  EXPECT_EQ(e.len, 6u);
  EXPECT_STREQ(mok_fxr_as_cstr(&e), "hello") << "the pad byte terminates an odd text";
  // Size query: the entry's len tells how much room the conversion needs.
  std::vector<std::uint8_t> exact(e.len);
  EXPECT_EQ(mok_fxr_as_u8s(&e, exact.data(), exact.size()), 6);
  ASSERT_TRUE(mok_fxr_iter_next(it.get(), &e));
  EXPECT_EQ(mok_fxr_as_u32(&e), 2u) << "the iterator returns duplicates";

  const mok_fxr_entry_t last = e;
  EXPECT_FALSE(mok_fxr_iter_next(it.get(), &e));
  EXPECT_FALSE(mok_fxr_iter_next(it.get(), &e));
  EXPECT_EQ(e.id, last.id);
  EXPECT_EQ(e.data, last.data) << "the entry is left untouched at the end";
}

TEST(FxrCapi, IteratorOverTooShortOrEmptyRecords) {
  const std::uint8_t three[] = {0x00, 0x01, 0x02};
  IterPtr it{mok_fxr_iter_new(mok_fxr_view(three, 3))};
  ASSERT_NE(it, nullptr);
  mok_fxr_entry_t e{};
  EXPECT_FALSE(mok_fxr_iter_next(it.get(), &e));

  // An empty builder still gives a walkable (empty) view.
  auto b = make_builder();
  const mok_fxr_view_t v = mok_fxr_builder_view(b.get());
  EXPECT_EQ(v.len, 0u);
  EXPECT_NE(v.data, nullptr);
  IterPtr empty{mok_fxr_iter_new(v)};
  ASSERT_NE(empty, nullptr);
  EXPECT_FALSE(mok_fxr_iter_next(empty.get(), &e));
}

TEST(FxrCapi, EntryConversions) {
  const std::uint8_t six[] = {1, 0, 2, 0, 3, 0};
  const mok_fxr_entry_t e4{1, six, 4};
  const mok_fxr_entry_t e6{1, six, 6};
  EXPECT_EQ(mok_fxr_as_u64(&e4), 0u);
  EXPECT_EQ(mok_fxr_as_u32(&e4), 0x00020001u);
  EXPECT_EQ(mok_fxr_as_i16(&e6), 1);

  std::int16_t dst[3] = {-9, -9, -9};
  EXPECT_EQ(mok_fxr_as_i16s(&e6, dst, 2), MOK_FXR_ERR_TOO_SMALL);
  EXPECT_EQ(dst[0], -9);
  EXPECT_EQ(mok_fxr_as_i16s(&e6, dst, 3), 3);
  EXPECT_EQ(dst[2], 3);

  const mok_fxr_entry_t empty{1, six, 0};
  EXPECT_EQ(mok_fxr_as_f64s(&empty, reinterpret_cast<double*>(dst), 0), 0);
  const mok_fxr_entry_t null_data{1, nullptr, 4};
  EXPECT_EQ(mok_fxr_as_u32(&null_data), 0u);
  EXPECT_EQ(mok_fxr_as_u8s(&null_data, reinterpret_cast<std::uint8_t*>(dst), 6), MOK_FXR_ERR_NULL);
  const mok_fxr_entry_t null_empty{1, nullptr, 0};
  EXPECT_EQ(mok_fxr_as_u8s(&null_empty, reinterpret_cast<std::uint8_t*>(dst), 6), 0);
}

TEST(FxrCapi, NullArgumentsGiveNeutralResults) {
  mok_fxr_builder_free(nullptr);
  mok_fxr_iter_free(nullptr);
  const mok_fxr_view_t nv = mok_fxr_builder_view(nullptr);
  EXPECT_EQ(nv.data, nullptr);
  EXPECT_EQ(nv.len, 0u);
  const mok_fxr_view_t forced = mok_fxr_view(nullptr, 12);
  EXPECT_EQ(forced.len, 0u);
  EXPECT_EQ(mok_fxr_iter_new(forced), nullptr);
  mok_fxr_entry_t e{};
  EXPECT_FALSE(mok_fxr_iter_next(nullptr, &e));

  auto b = make_builder();
  IterPtr it{mok_fxr_iter_new(mok_fxr_builder_view(b.get()))};
  EXPECT_FALSE(mok_fxr_iter_next(it.get(), nullptr));

  // Pushes to a NULL builder or from NULL data do nothing.
  mok_fxr_push_u32(nullptr, 1, 2);
  mok_fxr_push_f32s(nullptr, 1, nullptr, 3);
  mok_fxr_push_i64s(b.get(), 1, nullptr, 3);
  mok_fxr_push_cstr(b.get(), 1, nullptr);
  mok_fxr_push_bytes(b.get(), nullptr, 3);
  EXPECT_EQ(mok_fxr_builder_view(b.get()).len, 0u);

  // A host-made view claiming bytes behind a NULL pointer finds nothing.
  const mok_fxr_view_t bogus{nullptr, 64};
  std::uint32_t u = 5;
  EXPECT_EQ(mok_fxr_peek_u32(&bogus, 1, &u), MOK_FXR_ERR_NOT_FOUND);
  char text[4];
  EXPECT_EQ(mok_fxr_peek_cstr(&bogus, 1, text, sizeof text), MOK_FXR_ERR_NOT_FOUND);

  EXPECT_EQ(mok_fxr_as_u32(nullptr), 0u);
  EXPECT_EQ(mok_fxr_as_f32(nullptr), 0.0f);
  EXPECT_EQ(mok_fxr_as_cstr(nullptr), nullptr);
  std::uint8_t d[2];
  EXPECT_EQ(mok_fxr_as_u8s(nullptr, d, 2), MOK_FXR_ERR_NULL);
  EXPECT_EQ(mok_fxr_as_u8s(&e, nullptr, 2), MOK_FXR_ERR_NULL);
  EXPECT_STREQ(mok_fxr_version(), "1.1.0");
}

}  // namespace
