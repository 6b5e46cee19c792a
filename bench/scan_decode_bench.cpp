// Scan-result decoding cost per profile, the hot path of a measuring camera
// (one packet per profile, thousands per second). The library's decoder is
// set against a straightforward single pass that converts the same fields
// (points into a fresh array), the least any decoder of this payload must do.
#include <memory>

#include <benchmark/benchmark.h>

#include "brelo/payload_decode.hpp"
#include "single_pass_decode.hpp"
#include "support/scan_payload.hpp"

namespace {

mok::test::ScanPayload make_payload(std::size_t points, bool scaled) {
  mok::test::ScanPayload p(points, scaled);
  p.offsets(1000, 500);
  for (std::size_t i = 0; i < points; ++i) {
    p.profile_point(i, static_cast<std::uint16_t>(i * 7), static_cast<std::uint16_t>(i * 3));
  }
  for (std::size_t k = 0; k < 32; k += 2) {
    p.i32(mok::test::ScanPayload::segment_at(k) + 24, 1).point(mok::test::ScanPayload::segment_at(k) + 12, 5, 5);
  }
  return p;
}

void report(benchmark::State& state, std::size_t points, std::size_t bytes) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
  // Per-point time: the inverse of this rate.
  state.counters["points/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * points), benchmark::Counter::kIsRate);
  state.counters["s/point"] = benchmark::Counter(static_cast<double>(state.iterations() * points),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_DecodeScanResult(benchmark::State& state) {
  const auto points = static_cast<std::size_t>(state.range(0));
  const auto p = make_payload(points, state.range(1) != 0);
  for (auto _ : state) {
    auto r = mok::brelo::decode_scan_result(p.bytes());
    benchmark::DoNotOptimize(r);
  }
  report(state, points, p.bytes().size());
}
BENCHMARK(BM_DecodeScanResult)->Args({0, 1})->Args({1280, 1})->Args({1280, 0})->Args({4096, 1});

// What a connection does while its host frees each result: decode into the
// record of the previous one, whose point array is reused.
void BM_DecodeScanResultInto(benchmark::State& state) {
  const auto points = static_cast<std::size_t>(state.range(0));
  const auto p = make_payload(points, true);
  mok::brelo::ScanResult r;
  for (auto _ : state) {
    benchmark::DoNotOptimize(mok::brelo::decode_scan_result_into(p.bytes(), r));
    benchmark::ClobberMemory();
  }
  report(state, points, p.bytes().size());
}
BENCHMARK(BM_DecodeScanResultInto)->Arg(1280)->Arg(4096);

// The reference: length check, one allocation, each field converted once.
void BM_DecodeSinglePass(benchmark::State& state) {
  const auto points = static_cast<std::size_t>(state.range(0));
  const auto p = make_payload(points, true);
  bench::SinglePassResult out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(bench::decode_single_pass(p.bytes(), out));
    benchmark::ClobberMemory();
  }
  report(state, points, p.bytes().size());
}
BENCHMARK(BM_DecodeSinglePass)->Arg(1280)->Arg(4096);

}  // namespace
