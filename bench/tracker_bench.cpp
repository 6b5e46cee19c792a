// The tracker's cost per scan result and per correction query, in steady
// state: a tool moving at 100 mm/s, poses at 250 Hz arriving 20 ms late,
// results at 10 kHz. The per-result figure includes the mapping work that
// runs when the covering pose arrives (amortised over the results it frees).
#include <cmath>

#include <benchmark/benchmark.h>

#include "track/config.hpp"
#include "track/tracker.hpp"

namespace {

using mok::track::Tracker;

constexpr std::int64_t kUs = 1000;
constexpr std::int64_t kMs = 1000 * kUs;

struct Cell {
  Tracker tracker{[] {
    mok_tracker_config_t c = mok::track::default_config();
    c.poses_carry_robot_clock = 0;
    c.robot_latency_ns = 20 * kMs;
    return c;
  }()};
  std::int64_t t = 0;  // host time of the next result

  Cell() { tracker.set_mount({{40, 0, -100}, Eigen::Quaterniond::Identity()}); }
  // One result every 100 us; a pose every 4 ms, received 20 ms after it was true.
  void step() {
    if (t % (4 * kMs) == 0) {
      const double x = 0.1 * static_cast<double>(t - 20 * kMs) / kMs;
      tracker.push_pose({x, 0, 0, 1, 0, 0, 0}, 0, t);
    }
    const double x = 0.1 * static_cast<double>(t) / kMs;
    tracker.push_seam({static_cast<std::uint64_t>(t / kUs), t, true, 3 * std::sin(x / 40), 100, 1, 1, 1});
    t += 100 * kUs;
  }
};

void BM_TrackerPerResult(benchmark::State& state) {
  Cell cell;
  for (int i = 0; i < 50'000; ++i) cell.step();  // past start-up: clocks settled, path filled
  for (auto _ : state) cell.step();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrackerPerResult);

void BM_TrackerCorrection(benchmark::State& state) {
  Cell cell;
  for (int i = 0; i < 50'000; ++i) cell.step();
  mok_correction_t c;
  for (auto _ : state) benchmark::DoNotOptimize(cell.tracker.correction(nullptr, cell.t, c));
  if (c.status != MOK_TRACK_OK) state.SkipWithError("the correction was not OK");
}
BENCHMARK(BM_TrackerCorrection);

}  // namespace
