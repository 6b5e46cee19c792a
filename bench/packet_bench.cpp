// Per-packet costs of the transport's pure parts: the 24-byte head in both
// directions, the framer over the chunkings a TCP socket really hands us, and
// the packet C interface a host calls for every packet it keeps or sends.
#include <algorithm>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/bytes.hpp"
#include "common/wire.hpp"
#include "fxt/packet/framer.hpp"
#include "fxt/packet/head.hpp"
#include "mok/mok_fxt.h"

namespace {

using namespace mok::fxt;

Head sample_head(uint32_t length) {
  Head h = Head::make(length, Flags{}, Kind::Data, mok::wire::stream::kScan);
  h.seq = 12345;
  h.ts = 987654321;
  return h;
}

void BM_HeadParse(benchmark::State& state) {
  const auto wire = sample_head(6336).to_bytes();
  for (auto _ : state) {
    auto h = Head::parse(wire);
    benchmark::DoNotOptimize(h);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HeadParse);

void BM_HeadWrite(benchmark::State& state) {
  const Head h = sample_head(6336);
  uint8_t out[kHeadLen];
  for (auto _ : state) {
    h.write_to(out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HeadWrite);

// A stream of `count` packets of `payload` bytes each.
std::vector<uint8_t> make_stream(size_t payload, size_t count) {
  std::vector<uint8_t> out;
  out.reserve((kHeadLen + payload) * count);
  for (size_t i = 0; i < count; ++i) {
    Head h = sample_head(static_cast<uint32_t>(payload));
    h.seq = i;
    const auto head = h.to_bytes();
    out.insert(out.end(), head.begin(), head.end());
    out.resize(out.size() + payload, static_cast<uint8_t>(i));
  }
  return out;
}

// Feeds the stream in chunks of `chunk` bytes, as a read loop would, and cuts
// every packet. range(0): payload bytes; range(1): chunk bytes (the sizes
// loopback reads return: a few KiB, 64 KiB, or whole socket buffers).
void BM_FramerDecode(benchmark::State& state) {
  const auto payload = static_cast<size_t>(state.range(0));
  const auto chunk = static_cast<size_t>(state.range(1));
  const size_t count = std::max<size_t>(4, (1u << 22) / (payload + kHeadLen));
  const auto stream = make_stream(payload, count);
  size_t packets = 0;
  for (auto _ : state) {
    mok::BytesMut buf(mok::BytesMut::kConnectionCapacity);
    Framer framer;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      const size_t n = std::min(chunk, stream.size() - at);
      buf.append({stream.data() + at, n});
      for (;;) {
        auto r = framer.decode(buf);
        if (!r.ok() || !r->has_value()) break;
        benchmark::DoNotOptimize(**r);
        ++packets;
      }
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(packets));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_FramerDecode)
    ->Args({64, 1448})
    ->Args({64, 65536})
    ->Args({6336, 1448})
    ->Args({6336, 8192})
    ->Args({6336, 65536})
    ->Args({1 << 20, 65536})
    ->Args({1 << 20, 262144});

void BM_CPacketFromPayload(benchmark::State& state) {
  const std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 7);
  for (auto _ : state) {
    mok_fxt_packet_t* p = mok_fxt_packet_from_payload(0, 0, mok::wire::stream::kScan, 1, 2, payload.data(),
                                                      static_cast<uint32_t>(payload.size()));
    benchmark::DoNotOptimize(p);
    mok_fxt_packet_free(p);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CPacketFromPayload)->Arg(64)->Arg(6336);

void BM_CPacketClone(benchmark::State& state) {
  const std::vector<uint8_t> payload(6336, 7);
  mok_fxt_packet_t* p = mok_fxt_packet_from_payload(0, 0, mok::wire::stream::kScan, 1, 2, payload.data(),
                                                    static_cast<uint32_t>(payload.size()));
  for (auto _ : state) {
    mok_fxt_packet_t* c = mok_fxt_packet_clone(p);
    benchmark::DoNotOptimize(c);
    mok_fxt_packet_free(c);
  }
  mok_fxt_packet_free(p);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CPacketClone);

void BM_CPacketWriteWire(benchmark::State& state) {
  const std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 7);
  mok_fxt_packet_t* p = mok_fxt_packet_from_payload(0, 0, mok::wire::stream::kScan, 1, 2, payload.data(),
                                                    static_cast<uint32_t>(payload.size()));
  std::vector<uint8_t> out(mok_fxt_packet_wire_len(p));
  for (auto _ : state) {
    benchmark::DoNotOptimize(mok_fxt_packet_write_wire(p, out.data(), out.size()));
  }
  mok_fxt_packet_free(p);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_CPacketWriteWire)->Arg(64)->Arg(6336);

void BM_CPacketParseWire(benchmark::State& state) {
  const auto wire = make_stream(static_cast<size_t>(state.range(0)), 1);
  for (auto _ : state) {
    mok_fxt_packet_t* p = nullptr;
    size_t consumed = 0;
    size_t needed = 0;
    mok_fxt_packet_try_parse_wire(wire.data(), wire.size(), &p, &consumed, &needed);
    benchmark::DoNotOptimize(p);
    mok_fxt_packet_free(p);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(wire.size()));
}
BENCHMARK(BM_CPacketParseWire)->Arg(64)->Arg(6336);

}  // namespace
