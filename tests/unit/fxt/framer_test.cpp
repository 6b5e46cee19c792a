// The framer against the stream shapes TCP really delivers: packets split at
// any byte, several in one read, a peer closing mid-packet, and a peer trying
// to make us buffer without bound.
#include "fxt/packet/framer.hpp"

#include <random>

#include <gtest/gtest.h>

#include "wire_bytes.hpp"

namespace mok::fxt {
namespace {

using testing::raw_head;
using testing::raw_packet;

void feed(BytesMut& buf, std::span<const uint8_t> bytes) { buf.append(bytes); }

// Feeds `stream` in the given chunk sizes, decoding after every chunk as the
// read loop does, then runs the end-of-input pass. Returns the packets and
// the error that ended the stream, if any.
struct Outcome {
  std::vector<Packet> packets;
  std::optional<Error> error;
};
Outcome drive(std::span<const uint8_t> stream, const std::vector<size_t>& chunks) {
  Outcome out;
  Framer framer;
  BytesMut buf(BytesMut::kConnectionCapacity);
  size_t at = 0;
  for (size_t chunk : chunks) {
    feed(buf, stream.subspan(at, chunk));
    at += chunk;
    for (;;) {
      auto r = framer.decode(buf);
      if (!r) {
        out.error = r.error();
        return out;
      }
      if (!r.value()) break;
      out.packets.push_back(std::move(*r.value()));
    }
  }
  for (;;) {
    auto r = framer.decode_eof(buf);
    if (!r) {
      out.error = r.error();
      return out;
    }
    if (!r.value()) return out;
    out.packets.push_back(std::move(*r.value()));
  }
}

std::vector<uint8_t> three_packets() {
  std::vector<uint8_t> s;
  for (auto p : {raw_packet(4, 0, 1, 10, 1), raw_packet(300, 20, 18, 50, 2), raw_packet(17, 33, 511, 0, 3)}) {
    s.insert(s.end(), p.begin(), p.end());
  }
  return s;
}

TEST(Framer, NeedsMoreWithoutConsumingBelowAHead) {
  Framer f;
  BytesMut buf(64);
  auto r = f.decode(buf);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r.value());
  auto h = raw_head(10, 0, 0, 0);
  feed(buf, {h.data(), 23});
  r = f.decode(buf);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r.value());
  EXPECT_EQ(buf.size(), 23u);
  EXPECT_FALSE(f.has_pending_head());
}

TEST(Framer, HeadThenPayloadByteByByte) {
  Framer f;
  BytesMut buf(64);
  feed(buf, raw_head(10, 0x05, 20, 7, 99, 5));
  auto r = f.decode(buf);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r.value());
  EXPECT_TRUE(buf.empty());
  EXPECT_TRUE(f.has_pending_head());
  const std::vector<uint8_t> payload{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  feed(buf, {payload.data(), 9});
  r = f.decode(buf);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r.value());
  EXPECT_EQ(buf.size(), 9u);
  feed(buf, {payload.data() + 9, 1});
  r = f.decode(buf);
  ASSERT_TRUE(r.ok());
  ASSERT_TRUE(r.value());
  const Packet& p = *r.value();
  EXPECT_EQ(p.head, (Head{10, Flags{0x05}, Kind::FlexRegs, 7, 99, 5}));
  EXPECT_EQ(p.payload, Bytes(std::vector<uint8_t>(payload)));
  EXPECT_TRUE(buf.empty());
  EXPECT_FALSE(f.has_pending_head());
}

TEST(Framer, OnePacketPerCallInOrder) {
  auto s = raw_packet(4, 0, 1, 0, 1);
  auto second = raw_packet(6, 0, 2, 0, 2);
  s.insert(s.end(), second.begin(), second.end());
  Framer f;
  BytesMut buf(64);
  feed(buf, s);
  auto a = f.decode(buf);
  auto b = f.decode(buf);
  auto c = f.decode(buf);
  ASSERT_TRUE(a.ok() && a.value() && b.ok() && b.value() && c.ok());
  EXPECT_EQ(a.value()->head.seq, 1u);
  EXPECT_EQ(b.value()->head.seq, 2u);
  EXPECT_EQ(b.value()->payload.size(), 6u);
  EXPECT_FALSE(c.value());
}

TEST(Framer, PayloadIsCutWithoutCopying) {
  Framer f;
  BytesMut buf(BytesMut::kConnectionCapacity);
  feed(buf, raw_packet(100, 0, 1));
  const uint8_t* expected = buf.data() + kHeadLen;
  auto r = f.decode(buf);
  ASSERT_TRUE(r.ok() && r.value());
  EXPECT_EQ(r.value()->payload.data(), expected);
}

TEST(Framer, BadHeadIsConsumedAndReported) {
  Framer f;
  BytesMut buf(64);
  feed(buf, raw_head(3, 0, 0, 0));
  feed(buf, raw_head(8, 0, 0, 0));
  auto r = f.decode(buf);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::length_too_small(3, 4));
  EXPECT_EQ(buf.size(), 24u);
  EXPECT_FALSE(f.has_pending_head());

  Framer g;
  BytesMut other(64);
  feed(other, raw_head(8, 0, 12, 0));
  r = g.decode(other);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::unknown_kind(12));
  EXPECT_TRUE(other.empty());
}

TEST(Framer, AnySplitOfTheStreamYieldsTheSamePackets) {
  const auto s = three_packets();
  const Outcome whole = drive(s, {s.size()});
  ASSERT_FALSE(whole.error);
  ASSERT_EQ(whole.packets.size(), 3u);
  EXPECT_EQ(whole.packets[1].head.kind, Kind::FlexRegs);
  EXPECT_EQ(whole.packets[1].payload.size(), 300u);
  EXPECT_EQ(whole.packets[1].payload[0], 50);
  EXPECT_EQ(whole.packets[2].head.stream_id, 511);

  auto same = [&](const Outcome& o) {
    ASSERT_FALSE(o.error) << o.error->debug();
    ASSERT_EQ(o.packets.size(), whole.packets.size());
    for (size_t i = 0; i < o.packets.size(); ++i) {
      EXPECT_EQ(o.packets[i].head, whole.packets[i].head);
      EXPECT_EQ(o.packets[i].payload, whole.packets[i].payload);
    }
  };
  same(drive(s, std::vector<size_t>(s.size(), 1)));
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    std::vector<size_t> chunks;
    size_t left = s.size();
    while (left) {
      size_t n = std::min<size_t>(left, 1 + rng() % 64);
      chunks.push_back(n);
      left -= n;
    }
    same(drive(s, chunks));
  }
}

TEST(Framer, ErrorAfterGoodPacketsEndsTheStream) {
  auto s = three_packets();
  auto bad = raw_head(8, 0, 0, 512);
  s.insert(s.end(), bad.begin(), bad.end());
  auto tail = raw_packet(4, 0, 0);
  s.insert(s.end(), tail.begin(), tail.end());
  const Outcome o = drive(s, std::vector<size_t>(s.size(), 1));
  EXPECT_EQ(o.packets.size(), 3u);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(*o.error, Error::invalid_stream_id(512));
}

TEST(FramerEof, CleanEndBetweenPackets) {
  const auto s = three_packets();
  const Outcome o = drive(s, {100, s.size() - 100});
  EXPECT_FALSE(o.error);
  EXPECT_EQ(o.packets.size(), 3u);
  EXPECT_FALSE(drive({}, {}).error);
}

TEST(FramerEof, LeftoverBytesAreAnIoError) {
  const auto s = three_packets();
  const Error remaining = Error::io_message("bytes remaining on stream");
  // Half of the second payload.
  Outcome o = drive(s, {24 + 4 + 24 + 150});
  EXPECT_EQ(o.packets.size(), 1u);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(*o.error, remaining);
  EXPECT_EQ(o.error->display(), "Io(bytes remaining on stream)");
  // Part of a head.
  o = drive(s, {28 + 10});
  ASSERT_TRUE(o.error);
  EXPECT_EQ(*o.error, remaining);
  // A whole head whose payload never came: the buffer is empty, yet a packet
  // was lost.
  o = drive(s, {28 + 24});
  EXPECT_EQ(o.packets.size(), 1u);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(*o.error, remaining);
}

TEST(FramerEof, ReportsABadHeadLeftInTheBuffer) {
  auto bad = raw_head(2, 0, 0, 0);
  Framer f;
  BytesMut buf(64);
  feed(buf, bad);
  auto r = f.decode_eof(buf);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::length_too_small(2, 4));
}

TEST(FramerLimit, BufferedCountIsCheckedOnFullWidth) {
  EXPECT_FALSE(Framer::check_buffered(kMaxLength));
  EXPECT_EQ(Framer::check_buffered(kMaxLength + 1), Error::buffer_too_large(67108865, 67108864));
  // 4 GiB + 5 must not wrap to 5 and slip through.
  EXPECT_EQ(Framer::check_buffered(0x100000005ull), Error::buffer_too_large(0xFFFFFFFFu, 67108864));
}

// The large cases below hold one 64 MiB buffer at a time.
TEST(FramerLimit, TooManyBufferedBytesComeBeforeAnyHead) {
  Framer f;
  BytesMut buf;
  std::vector<uint8_t> big(kMaxLength + 1, 0);
  auto h = raw_head(kMaxLength - kHeadLen, 0, 0, 0);
  std::copy(h.begin(), h.end(), big.begin());
  feed(buf, big);
  auto r = f.decode(buf);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::buffer_too_large(67108865, 67108864));
  EXPECT_EQ(buf.size(), big.size());
  EXPECT_FALSE(f.has_pending_head());

  // One byte less is a full packet: head plus kMaxLength - 24 payload bytes.
  buf.clear();
  feed(buf, {big.data(), kMaxLength});
  r = f.decode(buf);
  ASSERT_TRUE(r.ok());
  ASSERT_TRUE(r.value());
  EXPECT_EQ(r.value()->payload.size(), kMaxLength - kHeadLen);
}

TEST(FramerLimit, CompletedMaximalPayloadPlusMoreIsTooLarge) {
  std::vector<uint8_t> payload(kMaxLength + 1, 0x5A);
  {
    Framer f;
    BytesMut buf;
    feed(buf, raw_head(kMaxLength, 0, 0, 0));
    ASSERT_TRUE(f.decode(buf).ok());
    ASSERT_TRUE(f.has_pending_head());
    feed(buf, payload);
    auto r = f.decode(buf);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), Error::buffer_too_large(67108865, 67108864));
  }
  {
    Framer f;
    BytesMut buf;
    feed(buf, raw_head(kMaxLength, 0, 0, 0));
    ASSERT_TRUE(f.decode(buf).ok());
    feed(buf, {payload.data(), kMaxLength});
    auto r = f.decode(buf);
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(r.value());
    EXPECT_EQ(r.value()->payload.size(), kMaxLength);
    EXPECT_EQ(r.value()->head.length, kMaxLength);
  }
}

}  // namespace
}  // namespace mok::fxt
