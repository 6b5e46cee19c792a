// Packets cut from one receive buffer are read on other threads while the
// read loop keeps filling that buffer; handles to one packet are cloned and
// freed on several threads. Payloads must stay intact throughout.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ffi/fxt_handles.hpp"
#include "fxt/packet/framer.hpp"
#include "unit/fxt/wire_bytes.hpp"

namespace mok::fxt {
namespace {

TEST(SharedPayloads, StayIntactWhileTheBufferIsRefilled) {
  std::mutex m;
  std::vector<PacketPtr> inbox;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::atomic<int> seen{0};

  auto check = [&](const Packet& p) {
    const auto first = static_cast<uint8_t>(p.head.seq);
    for (size_t i = 0; i < p.payload.size(); ++i) {
      if (p.payload[i] != static_cast<uint8_t>(first + i)) {
        bad.fetch_add(1);
        return;
      }
    }
  };
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      for (;;) {
        PacketPtr p;
        {
          std::lock_guard lock(m);
          if (!inbox.empty()) {
            p = std::move(inbox.back());
            inbox.pop_back();
          }
        }
        if (p) {
          check(*p);
          seen.fetch_add(1);
        } else if (done.load()) {
          return;
        } else {
          std::this_thread::yield();
        }
      }
    });
  }

  Framer framer;
  BytesMut buf(BytesMut::kConnectionCapacity);
  constexpr int kCount = 3000;
  for (int n = 0; n < kCount; ++n) {
    const auto first = static_cast<uint8_t>(n);
    const auto wire = testing::raw_packet(static_cast<uint32_t>(4 + n % 200), 0, 1, first, first);
    // Feed in two pieces, as reads of arbitrary size would.
    const size_t cut = wire.size() / 3;
    buf.append({wire.data(), cut});
    ASSERT_TRUE(framer.decode(buf).ok());
    buf.append({wire.data() + cut, wire.size() - cut});
    auto r = framer.decode(buf);
    ASSERT_TRUE(r.ok() && r.value());
    std::lock_guard lock(m);
    inbox.push_back(make_packet_ptr(std::move(*r.value())));
  }
  done.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(seen.load(), kCount);
  EXPECT_EQ(bad.load(), 0);
}

TEST(SharedPayloads, HandlesClonedAndFreedAcrossThreads) {
  const std::vector<uint8_t> bytes(256, 0x3C);
  mok_fxt_packet_t* origin = mok_fxt_packet_from_payload(0, 0, 1, 0, 0, bytes.data(), 256);
  ASSERT_TRUE(origin);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        mok_fxt_packet_t* c = mok_fxt_packet_clone(origin);
        uint32_t len = 0;
        const uint8_t* p = mok_fxt_packet_payload_ptr(c, &len);
        if (len != 256 || p[255] != 0x3C || mok_fxt_packet_set_seq(c, 1)) bad.fetch_add(1);
        mok_fxt_packet_free(c);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  // Every clone is gone: the origin is the sole owner again.
  EXPECT_TRUE(mok_fxt_packet_set_seq(origin, 9));
  mok_fxt_packet_free(origin);
}

}  // namespace
}  // namespace mok::fxt
