// The receive path under the patterns its buffer and packet-cell reuse must
// survive: a handler that keeps some packets and drops the rest while the
// peer writes faster than the loop reads, with packets both far smaller and
// far larger than the receive buffer's read room.
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/connector/harness.hpp"

namespace mok::fxt::client {
namespace {

using namespace std::chrono_literals;

// Keeps the packets whose seq is odd; of the others it notes only the
// payload it saw during the call.
class Keeper final : public Handler {
 public:
  void on_packet(PacketPtr& packet) noexcept override {
    std::lock_guard g(lock_);
    seen_.push_back({packet->head.seq, checksum(packet->payload.span())});
    if (packet->head.seq % 2 == 1) kept_.push_back(std::move(packet));
    changed_.notify_all();
  }
  void on_state(State) noexcept override {}

  bool wait_seen(std::size_t n) {
    std::unique_lock g(lock_);
    return changed_.wait_for(g, 10s, [&] { return seen_.size() >= n; });
  }

  static uint64_t checksum(std::span<const uint8_t> b) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t c : b) h = (h ^ c) * 1099511628211ull;
    return h ^ b.size();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::pair<uint64_t, uint64_t>> seen_;  // seq, payload checksum at delivery
  std::vector<PacketPtr> kept_;
};

std::vector<uint8_t> payload_for(uint64_t seq) {
  // Sizes from a few bytes to several times the 64 KiB read room.
  static constexpr std::size_t kSizes[] = {4, 100, 6336, 70'000, 9, 300'000, 6336, 65'536, 1'000};
  std::vector<uint8_t> p(kSizes[seq % std::size(kSizes)]);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 31 + seq * 7);
  return p;
}

TEST(ReceivePath, KeptPacketsStayIntactWhileTheBufferAndCellsAreReused) {
  test::Listener peer;
  auto keeper = std::make_shared<Keeper>();
  auto created = Connector::create(test::test_runtime(), peer.address(), keeper);
  ASSERT_TRUE(created.ok());
  auto connector = *created;
  connector->control().set_auto_reconnect(false);
  ASSERT_TRUE(connector->start().ok());
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);

  // One burst, so the loop finds many packets per read and must refill and
  // move partial packets while kept ones still point into earlier blocks.
  constexpr uint64_t kCount = 180;
  std::vector<uint8_t> stream;
  std::vector<uint64_t> sums;
  for (uint64_t seq = 0; seq < kCount; ++seq) {
    const auto payload = payload_for(seq);
    sums.push_back(Keeper::checksum(payload));
    const auto w = test::wire(test::make_packet(3, payload, seq));
    stream.insert(stream.end(), w.begin(), w.end());
  }
  ASSERT_TRUE(test::write_all(fd, stream));
  ASSERT_TRUE(keeper->wait_seen(kCount));

  std::lock_guard g(keeper->lock_);
  for (uint64_t seq = 0; seq < kCount; ++seq) {
    EXPECT_EQ(keeper->seen_[seq].first, seq);
    EXPECT_EQ(keeper->seen_[seq].second, sums[seq]) << "payload of packet " << seq << " at delivery";
  }
  // Every kept packet is still its own, unchanged, after all that followed.
  ASSERT_EQ(keeper->kept_.size(), kCount / 2);
  for (std::size_t i = 0; i < keeper->kept_.size(); ++i) {
    const PacketPtr& p = keeper->kept_[i];
    EXPECT_EQ(p->head.seq, 2 * i + 1);
    EXPECT_EQ(Keeper::checksum(p->payload.span()), sums[2 * i + 1]) << "kept packet " << p->head.seq;
    for (std::size_t j = 0; j < i; ++j) ASSERT_NE(keeper->kept_[j].get(), p.get());
  }
  ::close(fd);
  EXPECT_TRUE(connector->shutdown().ok());
}

}  // namespace
}  // namespace mok::fxt::client
