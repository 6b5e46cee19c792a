// Recordings: what a recorder writes the simulator reads back unchanged, a
// file cut inside a packet keeps its complete packets, and garbage is refused.
#include "sim/recording.hpp"

#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "fxt/packet/head.hpp"

namespace camsim {
namespace {

std::array<std::uint8_t, mok::wire::kHeadLen> head_for(std::size_t len, std::uint16_t stream, std::uint64_t seq) {
  mok::fxt::Head h;
  h.length = static_cast<std::uint32_t>(len);
  h.kind = mok::fxt::Kind::FlexRegs;
  h.stream_id = stream;
  h.seq = seq;
  h.ts = 1000 + seq;
  return h.to_bytes();
}

std::vector<std::uint8_t> two_packet_recording() {
  std::vector<std::uint8_t> b;
  append_recording_header(b, 1'700'000'000'000'000);
  const std::vector<std::uint8_t> p1 = {1, 2, 3, 4};
  const std::vector<std::uint8_t> p2(300, 7);
  append_recorded_packet(b, 0, head_for(p1.size(), 0, 1), p1);
  append_recorded_packet(b, 2500, head_for(p2.size(), mok::wire::stream::kScan, 2), p2);
  return b;
}

TEST(Recording, HeaderLayoutIsMagicVersionAndStartTime) {
  std::vector<std::uint8_t> b;
  append_recording_header(b, 0x0807060504030201ull);
  const std::vector<std::uint8_t> want = {'M', 'O', 'K', 'R', 'E', 'C', 1, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(b, want);
  append_recorded_packet(b, 0x10, head_for(4, 0, 0), std::vector<std::uint8_t>{9, 9, 9, 9});
  EXPECT_EQ(b.size(), 16u + 8 + 24 + 4);
  EXPECT_EQ(b[16], 0x10);   // time, little-endian
  EXPECT_EQ(b[24 + 3], 4);  // head length, big-endian as on the wire
}

TEST(Recording, RoundTripsPacketsAndTimes) {
  const auto r = parse_recording(two_packet_recording());
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->start_unix_us, 1'700'000'000'000'000u);
  EXPECT_FALSE(r->truncated);
  ASSERT_EQ(r->packets.size(), 2u);
  EXPECT_EQ(r->packets[1].time_us, 2500u);
  EXPECT_EQ(r->packets[1].payload.size(), 300u);
  const auto h = mok::fxt::Head::parse(r->packets[1].head);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->stream_id, mok::wire::stream::kScan);
  EXPECT_EQ(h->seq, 2u);
}

TEST(Recording, CutInsideAPacketKeepsTheCompleteOnes) {
  auto b = two_packet_recording();
  for (std::size_t cut : {std::size_t{10}, std::size_t{100}}) {
    auto c = b;
    c.resize(b.size() - cut);
    const auto r = parse_recording(c);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->truncated);
    EXPECT_EQ(r->packets.size(), 1u);
  }
}

TEST(Recording, RefusesWrongMagicVersionAndBackwardTime) {
  auto b = two_packet_recording();
  auto bad_magic = b;
  bad_magic[0] = 'X';
  EXPECT_FALSE(parse_recording(bad_magic));
  auto bad_version = b;
  bad_version[6] = 2;
  EXPECT_FALSE(parse_recording(bad_version));
  EXPECT_FALSE(parse_recording(std::vector<std::uint8_t>(5, 0)));

  std::vector<std::uint8_t> back;
  append_recording_header(back, 0);
  append_recorded_packet(back, 100, head_for(4, 0, 1), std::vector<std::uint8_t>(4));
  append_recorded_packet(back, 50, head_for(4, 0, 2), std::vector<std::uint8_t>(4));
  EXPECT_FALSE(parse_recording(back));
}

TEST(Recording, WriterFileReadsBack) {
  const std::string path = testing::TempDir() + "camsim_rec_" + std::to_string(::getpid()) + ".mokrec";
  {
    auto w = RecordingWriter::create(path, 42);
    ASSERT_TRUE(w) << w.error();
    const std::vector<std::uint8_t> payload = {5, 6, 7, 8, 9};
    ASSERT_TRUE(w->write(10, head_for(payload.size(), 2, 0), payload));
    ASSERT_TRUE(w->write(20, head_for(0, 0, 1), {}));
    EXPECT_FALSE(w->write(30, std::vector<std::uint8_t>(10), {}));  // not a head
    ASSERT_TRUE(w->close());
  }
  const auto r = read_recording_file(path);
  ::unlink(path.c_str());
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->start_unix_us, 42u);
  ASSERT_EQ(r->packets.size(), 2u);
  EXPECT_EQ(r->packets[0].payload, (std::vector<std::uint8_t>{5, 6, 7, 8, 9}));
  EXPECT_EQ(r->packets[1].time_us, 20u);
  EXPECT_FALSE(read_recording_file(path));  // gone now
}

}  // namespace
}  // namespace camsim
