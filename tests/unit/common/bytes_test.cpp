// Shared byte buffers: cutting from the receive buffer shares storage, and
// later writes into the buffer never disturb bytes already cut off.
#include "common/bytes.hpp"

#include <numeric>
#include <vector>

#include <gtest/gtest.h>

namespace mok {
namespace {

std::vector<uint8_t> iota_bytes(size_t n, uint8_t start = 0) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), start);
  return v;
}

TEST(Bytes, TakesVectorStorageWithoutCopying) {
  auto v = iota_bytes(100);
  const uint8_t* p = v.data();
  Bytes b(std::move(v));
  EXPECT_EQ(b.data(), p);
  EXPECT_EQ(b.size(), 100u);
  Bytes s = b.slice(10, 20);
  EXPECT_EQ(s.data(), p + 10);
  EXPECT_EQ(s.size(), 20u);
  EXPECT_EQ(s[0], 10);
  EXPECT_EQ(b.use_count(), 2);
  // Out-of-range slices clamp instead of reading past the end.
  EXPECT_EQ(b.slice(90, 50).size(), 10u);
  EXPECT_TRUE(b.slice(200, 5).empty());
}

TEST(Bytes, EmptyAndCopiesCompareByContent) {
  Bytes empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty, Bytes::copy_from({}));
  auto v = iota_bytes(5);
  Bytes a = Bytes::copy_from(v);
  EXPECT_NE(a.data(), v.data());
  EXPECT_EQ(a, Bytes(std::vector<uint8_t>(v)));
  EXPECT_NE(a, a.slice(0, 4));
}

TEST(BytesMut, SplitSharesStorageAndLeavesTheRest) {
  BytesMut buf(BytesMut::kConnectionCapacity);
  EXPECT_GE(buf.capacity(), 8192u);
  buf.append(iota_bytes(10));
  const uint8_t* front = buf.data();
  Bytes head = buf.split_to(4);
  EXPECT_EQ(head.data(), front);
  EXPECT_EQ(head, Bytes(iota_bytes(4)));
  EXPECT_EQ(buf.size(), 6u);
  EXPECT_EQ(buf.data()[0], 4);
  buf.advance(2);
  EXPECT_EQ(buf.data()[0], 6);
  buf.clear();
  EXPECT_TRUE(buf.empty());
}

// A kept reference pins at most four times itself (or 256 KiB): payloads
// from a small block, or large ones from the block grown for them, are
// shared; a small one cut from a large block gets its own bytes, and an
// empty large block goes.
TEST(BytesMut, TakeSharesUnlessItWouldPinAMuchLargerBlock) {
  BytesMut small_block(BytesMut::kConnectionCapacity);
  small_block.append(iota_bytes(100));
  const uint8_t* front = small_block.data();
  EXPECT_EQ(small_block.take(10).data(), front);

  const size_t big = 4 * BytesMut::kShareLimit;
  BytesMut large(big);
  large.append(std::vector<uint8_t>(big - 1024, 7));
  large.append(iota_bytes(1024));
  const uint8_t* large_front = large.data();
  const Bytes payload = large.take(big - 1024);
  EXPECT_EQ(payload.data(), large_front);
  const Bytes kept = large.take(1024);
  EXPECT_EQ(kept, Bytes(iota_bytes(1024)));
  EXPECT_EQ(kept.use_count(), 1);  // its own storage, not the block's
  EXPECT_TRUE(large.empty());

  large.release_if_empty(BytesMut::kShareLimit);
  EXPECT_EQ(large.capacity(), 0u);
  small_block.release_if_empty(BytesMut::kShareLimit);
  EXPECT_GT(small_block.capacity(), 0u);  // not empty, and small anyway
  EXPECT_EQ(payload[0], 7);               // the shared payload outlives the block's release
}

TEST(BytesMut, ReadsIntoSpareThenCommit) {
  BytesMut buf(16);
  auto room = buf.spare();
  ASSERT_GE(room.size(), 16u);
  room[0] = 7;
  room[1] = 8;
  buf.commit(2);
  EXPECT_EQ(buf.size(), 2u);
  EXPECT_EQ(buf.data()[1], 8);
  // Committing more than the room holds is clamped.
  buf.commit(1u << 20);
  EXPECT_EQ(buf.size(), buf.capacity());
}

TEST(BytesMut, GrowingWhileCutBytesAreHeldKeepsThemIntact) {
  BytesMut buf(8);
  buf.append(iota_bytes(8));
  Bytes cut = buf.split_to(6);
  const uint8_t* cut_at = cut.data();
  // The block is shared and full: more room means a new block carrying only
  // the two unconsumed bytes.
  buf.append(iota_bytes(20, 100));
  EXPECT_EQ(cut.data(), cut_at);
  EXPECT_EQ(cut, Bytes(iota_bytes(6)));
  ASSERT_EQ(buf.size(), 22u);
  EXPECT_EQ(buf.data()[0], 6);
  EXPECT_EQ(buf.data()[1], 7);
  EXPECT_EQ(buf.data()[2], 100);
  EXPECT_EQ(buf.data()[21], 119);
}

TEST(BytesMut, NeverMovesBytesOverAHeldCut) {
  BytesMut buf(16);
  buf.append(iota_bytes(16));
  Bytes cut = buf.split_to(12);
  // Room for 8 more would fit if the 4 held bytes moved to the front of the
  // block, but that is where `cut` still points.
  buf.append(iota_bytes(8, 200));
  EXPECT_EQ(cut, Bytes(iota_bytes(12)));
  ASSERT_EQ(buf.size(), 12u);
  EXPECT_EQ(buf.data()[0], 12);
  EXPECT_EQ(buf.data()[4], 200);
}

TEST(BytesMut, SoleOwnerReusesItsBlockInsteadOfGrowing) {
  BytesMut buf(64);
  for (int round = 0; round < 100; ++round) {
    buf.append(iota_bytes(40));
    (void)buf.split_to(40);  // dropped at once: the block is ours again
  }
  EXPECT_LE(buf.capacity(), 64u);
}

TEST(BytesMut, HeldPayloadsDoNotInflateTheBuffer) {
  BytesMut buf(64);
  std::vector<Bytes> held;
  for (int round = 0; round < 100; ++round) {
    buf.append(iota_bytes(40));
    held.push_back(buf.split_to(40));
  }
  EXPECT_LE(buf.capacity(), 128u);
  for (const auto& b : held) EXPECT_EQ(b, Bytes(iota_bytes(40)));
}

TEST(BytesMut, ReserveGivesAtLeastTheRoomAsked) {
  BytesMut buf;
  EXPECT_TRUE(buf.spare().empty());
  buf.reserve(1);
  EXPECT_GE(buf.spare().size(), 1u);
  buf.append(iota_bytes(3));
  buf.reserve(1000);
  EXPECT_GE(buf.spare().size(), 1000u);
  EXPECT_EQ(buf.data()[2], 2);
}

}  // namespace
}  // namespace mok
