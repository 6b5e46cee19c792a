// Scan-result decoding cost per profile, the hot path of a measuring camera
// (one packet per profile, thousands per second).
#include <benchmark/benchmark.h>

#include "brelo/protocol.hpp"
#include "fakes/scan_payload.hpp"

namespace {

void BM_DecodeScanResult(benchmark::State& state) {
  const auto points = static_cast<std::size_t>(state.range(0));
  mok::test::ScanPayload p(points, state.range(1) != 0);
  p.offsets(1000, 500);
  for (std::size_t i = 0; i < points; ++i) {
    p.profile_point(i, static_cast<std::uint16_t>(i * 7), static_cast<std::uint16_t>(i * 3));
  }
  for (std::size_t k = 0; k < 32; k += 2) {
    p.i32(mok::test::ScanPayload::segment_at(k) + 24, 1).point(mok::test::ScanPayload::segment_at(k) + 12, 5, 5);
  }
  for (auto _ : state) {
    auto r = mok::brelo::decode_scan_result(p.bytes());
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(p.bytes().size()));
}
BENCHMARK(BM_DecodeScanResult)->Args({0, 1})->Args({1280, 1})->Args({1280, 0})->Args({4096, 1});

}  // namespace
