// The packet C interface seen through its exported functions: value rules,
// the sole-owner rule of the setters, null handling, sharing without copying
// and the wire helpers' counts.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "ffi/fxt_handles.hpp"
#include "fxt/packet/framer.hpp"
#include "mok/mok_fxt.h"
#include "unit/fxt/wire_bytes.hpp"

namespace {

using mok::fxt::testing::raw_head;
using mok::fxt::testing::raw_packet;

struct Handle {
  mok_fxt_packet_t* p;
  explicit Handle(mok_fxt_packet_t* h) : p(h) {}
  ~Handle() { mok_fxt_packet_free(p); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};

std::vector<uint8_t> payload_of(const mok_fxt_packet_t* p) {
  std::vector<uint8_t> out(mok_fxt_packet_payload_len(p));
  EXPECT_EQ(mok_fxt_packet_payload_copy(p, out.data(), out.size()), out.size());
  return out;
}

TEST(CPacketNew, AppliesLengthKindAndStreamRules) {
  Handle empty(mok_fxt_packet_new(0, 0, 0, 0));
  ASSERT_TRUE(empty.p);
  EXPECT_EQ(mok_fxt_packet_payload_len(empty.p), 0u);
  EXPECT_EQ(mok_fxt_packet_wire_len(empty.p), 24u);
  for (uint32_t bad : {1u, 2u, 3u, 0x4000001u, 0xFFFFFFFFu}) {
    EXPECT_EQ(mok_fxt_packet_new(bad, 0, 0, 0), nullptr) << bad;
  }
  EXPECT_EQ(mok_fxt_packet_new(4, 0, 255, 0), nullptr);
  EXPECT_EQ(mok_fxt_packet_new(4, 0, 0, 512), nullptr);
  Handle odd(mok_fxt_packet_new(4, 0xFF, 15, 511));
  ASSERT_TRUE(odd.p);
  EXPECT_EQ(mok_fxt_packet_kind(odd.p), 15);
  EXPECT_EQ(mok_fxt_packet_flags(odd.p), 0xFF);
  EXPECT_EQ(mok_fxt_packet_stream_id(odd.p), 511);
  EXPECT_EQ(mok_fxt_packet_seq(odd.p), 0u);
  EXPECT_GT(mok_fxt_packet_ts(odd.p), 0u);
  EXPECT_EQ(payload_of(odd.p), std::vector<uint8_t>(4, 0));
}

TEST(CPacketNew, FromPayloadCopiesAndKeepsSeqAndTs) {
  std::vector<uint8_t> bytes{1, 2, 3, 4, 5};
  Handle h(mok_fxt_packet_from_payload(0x01, 20, 18, 7, 8, bytes.data(), 5));
  ASSERT_TRUE(h.p);
  bytes[0] = 99;
  EXPECT_EQ(payload_of(h.p), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  mok_fxt_head_t head{};
  ASSERT_TRUE(mok_fxt_packet_get_head(h.p, &head));
  EXPECT_EQ(head.length, 5u);
  EXPECT_EQ(head.flags, 0x01);
  EXPECT_EQ(head.kind, 20);
  EXPECT_EQ(head.stream_id, 18);
  EXPECT_EQ(head.seq, 7u);
  EXPECT_EQ(head.ts, 8u);

  Handle none(mok_fxt_packet_from_payload(0, 0, 0, 0, 0, nullptr, 0));
  ASSERT_TRUE(none.p);
  EXPECT_EQ(mok_fxt_packet_length(none.p), 0u);
  EXPECT_EQ(mok_fxt_packet_from_payload(0, 0, 0, 0, 0, nullptr, 4), nullptr);
  EXPECT_EQ(mok_fxt_packet_from_payload(0, 0, 0, 0, 0, bytes.data(), 3), nullptr);
  EXPECT_EQ(mok_fxt_packet_from_payload(0, 255, 0, 0, 0, bytes.data(), 4), nullptr);
  EXPECT_EQ(mok_fxt_packet_from_payload(0, 0, 512, 0, 0, bytes.data(), 4), nullptr);
}

TEST(CPacketShare, CloneSharesThePayloadAndLocksSetters) {
  std::vector<uint8_t> bytes(64, 0xAB);
  Handle a(mok_fxt_packet_from_payload(0, 0, 1, 0, 0, bytes.data(), 64));
  mok_fxt_packet_t* b = mok_fxt_packet_clone(a.p);
  ASSERT_TRUE(b);
  EXPECT_EQ(mok_fxt_packet_payload_ptr(a.p, nullptr), mok_fxt_packet_payload_ptr(b, nullptr));
  EXPECT_EQ(a.p->packet.get(), b->packet.get());

  const mok_fxt_head_t head{8, 0, 0, 0, 0, 0};
  for (mok_fxt_packet_t* h : {a.p, b}) {
    EXPECT_FALSE(mok_fxt_packet_set_flags(h, 1));
    EXPECT_FALSE(mok_fxt_packet_set_kind(h, 1));
    EXPECT_FALSE(mok_fxt_packet_set_stream_id(h, 1));
    EXPECT_FALSE(mok_fxt_packet_set_seq(h, 1));
    EXPECT_FALSE(mok_fxt_packet_set_ts(h, 1));
    EXPECT_FALSE(mok_fxt_packet_set_length(h, 8));
    EXPECT_FALSE(mok_fxt_packet_set_head(h, &head));
    EXPECT_FALSE(mok_fxt_packet_set_payload(h, bytes.data(), 4));
  }
  EXPECT_EQ(mok_fxt_packet_length(a.p), 64u);
  EXPECT_EQ(mok_fxt_packet_seq(a.p), 0u);

  mok_fxt_packet_free(b);
  EXPECT_TRUE(mok_fxt_packet_set_seq(a.p, 5));
  EXPECT_TRUE(mok_fxt_packet_set_flags(a.p, 0x92));
  EXPECT_EQ(mok_fxt_packet_flags(a.p), 0x92);
  EXPECT_EQ(mok_fxt_packet_seq(a.p), 5u);
}

TEST(CPacketShare, ReceivedPayloadReachesTheHostWithoutACopy) {
  // The road of a received packet: receive buffer, framer, shared packet, C
  // handle handed to the host, and the host's clone of it.
  mok::BytesMut buf(mok::BytesMut::kConnectionCapacity);
  const auto wire = raw_packet(64, 0, 18);
  buf.append(wire);
  const uint8_t* in_buffer = buf.data() + 24;
  mok::fxt::Framer framer;
  auto r = framer.decode(buf);
  ASSERT_TRUE(r.ok() && r.value());
  Handle h(mok::fxt::wrap_packet(mok::fxt::make_packet_ptr(std::move(*r.value()))));
  Handle clone(mok_fxt_packet_clone(h.p));
  EXPECT_EQ(mok_fxt_packet_payload_ptr(h.p, nullptr), in_buffer);
  EXPECT_EQ(mok_fxt_packet_payload_ptr(clone.p, nullptr), in_buffer);
  // More reads into the same buffer leave the delivered payload alone.
  for (int i = 0; i < 300; ++i) buf.append(wire);
  EXPECT_EQ(payload_of(clone.p), std::vector<uint8_t>(wire.begin() + 24, wire.end()));
}

TEST(CPacketShare, AQueuedReferenceCountsAsShared) {
  Handle a(mok_fxt_packet_new(4, 0, 0, 0));
  mok::fxt::PacketPtr queued = a.p->packet;  // as a send queue holds it
  EXPECT_FALSE(mok_fxt_packet_set_seq(a.p, 1));
  queued.reset();
  EXPECT_TRUE(mok_fxt_packet_set_seq(a.p, 1));
}

TEST(CPacketSet, RefusedValuesChangeNothing) {
  Handle h(mok_fxt_packet_new(8, 0, 0, 0));
  EXPECT_FALSE(mok_fxt_packet_set_kind(h.p, 255));
  EXPECT_TRUE(mok_fxt_packet_set_kind(h.p, 99));
  EXPECT_EQ(mok_fxt_packet_kind(h.p), 99);
  EXPECT_FALSE(mok_fxt_packet_set_stream_id(h.p, 512));
  EXPECT_TRUE(mok_fxt_packet_set_stream_id(h.p, 511));
  for (uint32_t bad : {1u, 3u, 0x4000001u}) EXPECT_FALSE(mok_fxt_packet_set_length(h.p, bad));
  EXPECT_EQ(mok_fxt_packet_length(h.p), 8u);
  EXPECT_EQ(mok_fxt_packet_payload_len(h.p), 8u);

  mok_fxt_head_t bad{8, 0, 255, 0, 0, 0};
  EXPECT_FALSE(mok_fxt_packet_set_head(h.p, &bad));
  bad = {8, 0, 0, 512, 0, 0};
  EXPECT_FALSE(mok_fxt_packet_set_head(h.p, &bad));
  bad = {2, 0, 0, 0, 0, 0};
  EXPECT_FALSE(mok_fxt_packet_set_head(h.p, &bad));
  EXPECT_FALSE(mok_fxt_packet_set_head(h.p, nullptr));
  EXPECT_EQ(mok_fxt_packet_kind(h.p), 99);
  EXPECT_EQ(mok_fxt_packet_length(h.p), 8u);
}

TEST(CPacketSet, LengthResizesThePayload) {
  std::vector<uint8_t> bytes{1, 2, 3, 4, 5, 6, 7, 8};
  Handle h(mok_fxt_packet_from_payload(0, 0, 0, 0, 0, bytes.data(), 8));
  ASSERT_TRUE(mok_fxt_packet_set_length(h.p, 16));
  EXPECT_EQ(payload_of(h.p), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(mok_fxt_packet_set_length(h.p, 4));
  EXPECT_EQ(payload_of(h.p), (std::vector<uint8_t>{1, 2, 3, 4}));
  ASSERT_TRUE(mok_fxt_packet_set_length(h.p, 0));
  uint32_t len = 77;
  EXPECT_EQ(mok_fxt_packet_payload_ptr(h.p, &len), nullptr);
  EXPECT_EQ(len, 0u);

  const mok_fxt_head_t head{6, 0xFF, 33, 300, 11, 12};
  ASSERT_TRUE(mok_fxt_packet_set_head(h.p, &head));
  mok_fxt_head_t got{};
  ASSERT_TRUE(mok_fxt_packet_get_head(h.p, &got));
  EXPECT_EQ(std::memcmp(&got, &head, sizeof head), 0);
  EXPECT_EQ(payload_of(h.p), std::vector<uint8_t>(6, 0));
}

TEST(CPacketSet, PayloadReplacesBytesAndLength) {
  Handle h(mok_fxt_packet_new(8, 0, 0, 0));
  const std::vector<uint8_t> bytes{9, 8, 7, 6, 5};
  ASSERT_TRUE(mok_fxt_packet_set_payload(h.p, bytes.data(), 5));
  EXPECT_EQ(mok_fxt_packet_length(h.p), 5u);
  EXPECT_EQ(payload_of(h.p), bytes);
  EXPECT_TRUE(mok_fxt_packet_set_payload(h.p, nullptr, 0));
  EXPECT_EQ(payload_of(h.p), bytes);
  EXPECT_FALSE(mok_fxt_packet_set_payload(h.p, nullptr, 5));
  EXPECT_FALSE(mok_fxt_packet_set_payload(h.p, bytes.data(), 3));
  EXPECT_EQ(payload_of(h.p), bytes);
  ASSERT_TRUE(mok_fxt_packet_set_payload(h.p, bytes.data(), 0));
  EXPECT_EQ(mok_fxt_packet_length(h.p), 0u);
}

TEST(CPacketNull, EveryFunctionReturnsItsNeutralResult) {
  EXPECT_EQ(mok_fxt_packet_clone(nullptr), nullptr);
  mok_fxt_packet_free(nullptr);
  EXPECT_EQ(mok_fxt_packet_length(nullptr), 0u);
  EXPECT_EQ(mok_fxt_packet_flags(nullptr), 0);
  EXPECT_EQ(mok_fxt_packet_kind(nullptr), 255);
  EXPECT_EQ(mok_fxt_packet_stream_id(nullptr), 0);
  EXPECT_EQ(mok_fxt_packet_seq(nullptr), 0u);
  EXPECT_EQ(mok_fxt_packet_ts(nullptr), 0u);
  mok_fxt_head_t head{};
  EXPECT_FALSE(mok_fxt_packet_get_head(nullptr, &head));
  EXPECT_FALSE(mok_fxt_packet_set_flags(nullptr, 0));
  EXPECT_FALSE(mok_fxt_packet_set_kind(nullptr, 0));
  EXPECT_FALSE(mok_fxt_packet_set_stream_id(nullptr, 0));
  EXPECT_FALSE(mok_fxt_packet_set_seq(nullptr, 0));
  EXPECT_FALSE(mok_fxt_packet_set_ts(nullptr, 0));
  EXPECT_FALSE(mok_fxt_packet_set_length(nullptr, 0));
  EXPECT_FALSE(mok_fxt_packet_set_head(nullptr, &head));
  EXPECT_FALSE(mok_fxt_packet_set_payload(nullptr, nullptr, 0));
  EXPECT_EQ(mok_fxt_packet_payload_len(nullptr), 0u);
  uint32_t len = 5;
  EXPECT_EQ(mok_fxt_packet_payload_ptr(nullptr, &len), nullptr);
  EXPECT_EQ(len, 0u);
  uint8_t buf[64];
  EXPECT_EQ(mok_fxt_packet_payload_copy(nullptr, buf, sizeof buf), 0u);
  EXPECT_EQ(mok_fxt_packet_wire_len(nullptr), 0u);
  EXPECT_FALSE(mok_fxt_packet_write_head_bytes(nullptr, buf, sizeof buf));
  EXPECT_EQ(mok_fxt_packet_write_wire(nullptr, buf, sizeof buf), 0u);
  EXPECT_FALSE(mok_fxt_head_parse(nullptr, 24, &head));
  EXPECT_FALSE(mok_fxt_head_write_bytes(nullptr, buf, sizeof buf));

  Handle h(mok_fxt_packet_new(4, 0, 0, 0));
  EXPECT_FALSE(mok_fxt_packet_get_head(h.p, nullptr));
  EXPECT_EQ(mok_fxt_packet_payload_copy(h.p, nullptr, 4), 0u);
  EXPECT_FALSE(mok_fxt_packet_write_head_bytes(h.p, nullptr, 24));
  EXPECT_EQ(mok_fxt_packet_write_wire(h.p, nullptr, 64), 0u);
  EXPECT_FALSE(mok_fxt_head_parse(buf, 24, nullptr));
  EXPECT_FALSE(mok_fxt_head_write_bytes(&head, nullptr, 24));
  EXPECT_EQ(mok_fxt_packet_payload_ptr(h.p, nullptr), mok_fxt_packet_payload_ptr(h.p, &len));
  EXPECT_EQ(len, 4u);
}

TEST(CPacketWire, WriteNeedsTheWholeRoomAndMatchesTheWireLayout) {
  const std::vector<uint8_t> bytes{1, 2, 3, 4, 5, 6};
  Handle h(mok_fxt_packet_from_payload(0xFF, 21, 300, 1, 2, bytes.data(), 6));
  EXPECT_EQ(mok_fxt_packet_wire_len(h.p), 30u);
  std::vector<uint8_t> out(30, 0xEE);
  EXPECT_EQ(mok_fxt_packet_write_wire(h.p, out.data(), 29), 0u);
  EXPECT_EQ(out, std::vector<uint8_t>(30, 0xEE));
  ASSERT_EQ(mok_fxt_packet_write_wire(h.p, out.data(), 30), 30u);
  const auto expected_head = raw_head(6, 0xFF, 21, 300, 1, 2);
  EXPECT_TRUE(std::equal(expected_head.begin(), expected_head.end(), out.begin()));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin() + 24));

  uint8_t head_bytes[24];
  EXPECT_FALSE(mok_fxt_packet_write_head_bytes(h.p, head_bytes, 23));
  ASSERT_TRUE(mok_fxt_packet_write_head_bytes(h.p, head_bytes, 24));
  EXPECT_TRUE(std::equal(expected_head.begin(), expected_head.end(), head_bytes));

  // Parsing back masks the undefined flag bits.
  mok_fxt_packet_t* back = nullptr;
  ASSERT_TRUE(mok_fxt_packet_try_parse_wire(out.data(), out.size(), &back, nullptr, nullptr));
  Handle owned(back);
  EXPECT_EQ(mok_fxt_packet_flags(back), 0x6D);
  EXPECT_EQ(mok_fxt_packet_stream_id(back), 300);
  EXPECT_EQ(mok_fxt_packet_seq(back), 1u);
  EXPECT_EQ(mok_fxt_packet_ts(back), 2u);
  EXPECT_EQ(payload_of(back), bytes);
  mok_fxt_head_t head{};
  ASSERT_TRUE(mok_fxt_head_parse(out.data(), 24, &head));
  EXPECT_EQ(head.flags, 0x6D);
}

TEST(CPacketWire, TryParseReportsConsumedAndNeeded) {
  auto wire = raw_packet(100, 0, 1);
  mok_fxt_packet_t* p = nullptr;
  size_t consumed = 9, needed = 9;
  EXPECT_FALSE(mok_fxt_packet_try_parse_wire(wire.data(), 10, &p, &consumed, &needed));
  EXPECT_EQ(consumed, 0u);
  EXPECT_EQ(needed, 24u);
  EXPECT_FALSE(mok_fxt_packet_try_parse_wire(wire.data(), 74, &p, &consumed, &needed));
  EXPECT_EQ(needed, 124u);
  EXPECT_EQ(p, nullptr);
  wire.resize(200, 0xCC);
  ASSERT_TRUE(mok_fxt_packet_try_parse_wire(wire.data(), wire.size(), &p, &consumed, &needed));
  Handle owned(p);
  EXPECT_EQ(consumed, 124u);
  EXPECT_EQ(needed, 124u);
  EXPECT_EQ(mok_fxt_packet_payload_len(p), 100u);
  // The packet owns a copy: the caller may reuse its buffer.
  EXPECT_NE(mok_fxt_packet_payload_ptr(p, nullptr), wire.data() + 24);

  auto bad_kind = raw_head(8, 0, 12, 0);
  consumed = needed = 9;
  mok_fxt_packet_t* none = nullptr;
  EXPECT_FALSE(mok_fxt_packet_try_parse_wire(bad_kind.data(), 24, &none, &consumed, &needed));
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(consumed, 0u);
  EXPECT_EQ(none, nullptr);
  needed = 9;
  EXPECT_FALSE(mok_fxt_packet_try_parse_wire(nullptr, 24, &none, nullptr, &needed));
  EXPECT_EQ(needed, 0u);
  EXPECT_FALSE(mok_fxt_packet_try_parse_wire(wire.data(), wire.size(), nullptr, nullptr, &needed));
  EXPECT_EQ(needed, 0u);
}

TEST(CPacketWire, HeadParseRefusesWhatTheParserRefuses) {
  mok_fxt_head_t head{1, 2, 3, 4, 5, 6};
  const mok_fxt_head_t before = head;
  for (auto b :
       {raw_head(3, 0, 0, 0), raw_head(0x4000001, 0, 0, 0), raw_head(8, 0, 12, 0), raw_head(8, 0, 0, 512)}) {
    EXPECT_FALSE(mok_fxt_head_parse(b.data(), 24, &head));
  }
  auto ok = raw_head(8, 0, 0, 0);
  EXPECT_FALSE(mok_fxt_head_parse(ok.data(), 23, &head));
  EXPECT_EQ(std::memcmp(&head, &before, sizeof head), 0);

  const mok_fxt_head_t odd{2, 0x92, 255, 600, 1, 2};
  uint8_t out[24];
  EXPECT_FALSE(mok_fxt_head_write_bytes(&odd, out, 23));
  ASSERT_TRUE(mok_fxt_head_write_bytes(&odd, out, 24));
  const auto expected = raw_head(2, 0x92, 255, 600, 1, 2);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out));
}

TEST(CPacketVersion, CodeAndText) {
  EXPECT_EQ(mok_fxt_version_code(), 65798u);
  EXPECT_STREQ(mok_fxt_version_str(), "1.1.6");
}

}  // namespace
