// Register records: building the one-entry records a parameter write sends,
// and looking ids up in a full register report, which the client walks for
// every report the camera sends.
#include <cstdint>

#include <benchmark/benchmark.h>

#include "common/wire.hpp"
#include "fxr/builder.hpp"
#include "fxr/reader.hpp"

namespace {

using mok::fxr::Builder;
using mok::fxr::Reader;

void BM_RecordPushScalar(benchmark::State& state) {
  for (auto _ : state) {
    Builder b;
    b.push<std::uint32_t>(mok::wire::reg::kExposureTime, 5000);
    benchmark::DoNotOptimize(b.bytes().data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordPushScalar);

// A report-sized record: `n` entries of mixed widths.
Builder report(int n) {
  Builder b;
  for (int i = 0; i < n; ++i) {
    const auto id = static_cast<std::uint16_t>(0x1000 + i);
    switch (i % 4) {
      case 0:
        b.push<std::uint16_t>(id, static_cast<std::uint16_t>(i));
        break;
      case 1:
        b.push<std::uint32_t>(id, static_cast<std::uint32_t>(i));
        break;
      case 2:
        b.push<std::uint64_t>(id, static_cast<std::uint64_t>(i));
        break;
      default:
        (void)b.push(id, std::string_view("board-0001"));
        break;
    }
  }
  return b;
}

void BM_RecordPushReport(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Builder b = report(n);
    benchmark::DoNotOptimize(b.bytes().data());
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_RecordPushReport)->Arg(16)->Arg(64);

// Looks up the last id of an `n`-entry report (the worst case of the rescan).
void BM_RecordPeekLast(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  const Builder b = report(n);
  const Reader r(b.bytes());
  const auto id = static_cast<std::uint16_t>(0x1000 + n - 3);  // a u64 entry near the end
  for (auto _ : state) {
    benchmark::DoNotOptimize(r.peek<std::uint64_t>(id));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordPeekLast)->Arg(16)->Arg(64);

void BM_RecordIterate(benchmark::State& state) {
  const Builder b = report(64);
  for (auto _ : state) {
    auto it = Reader(b.bytes()).iter();
    int n = 0;
    while (auto e = it.next()) n += e->id;
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_RecordIterate);

}  // namespace
