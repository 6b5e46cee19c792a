#!/usr/bin/env bash
# Builds the release preset and runs every benchmark: the micro-benchmarks
# (bench/*_bench.cpp) and mok-bench-e2e, which sets the library against a raw
# recv loop on 127.0.0.1. Takes a few minutes; everything it prints is also
# written to build/release/bench-results.txt. Extra arguments go to
# mok-bench-e2e, e.g. scripts/bench.sh --seconds 4 --only latency
set -euo pipefail
cd "$(dirname "$0")/.."
# Warnings stay warnings here, as in demo.sh: the figures must not depend on
# a compiler's opinion (the test and CI builds keep -Werror).
cmake --preset release -DMOK_WERROR=OFF >/dev/null
micro=()
for src in bench/*_bench.cpp; do micro+=("$(basename "$src" .cpp)"); done
cmake --build --preset release --target "${micro[@]}" mok-bench-e2e
# mok-bridge's figures where Cyclone DDS is installed (docs/ros2.md).
bridge_bench=build/release/bench/bridge/mok-bench-bridge
cmake --build --preset release --target mok-bench-bridge >/dev/null 2>&1 || bridge_bench=""
out=build/release/bench-results.txt
{
  echo "# $(date -u +%FT%TZ) on $(nproc) cores: $(lscpu | sed -n 's/^Model name: *//p')"
  echo "# load: $(cut -d' ' -f1-3 /proc/loadavg)"
  for b in "${micro[@]}"; do
    build/release/bench/"$b" --benchmark_min_time=0.3
  done
  build/release/bench/e2e/mok-bench-e2e "$@"
  if [ -n "$bridge_bench" ]; then "$bridge_bench"; fi
  echo "# load after: $(cut -d' ' -f1-3 /proc/loadavg)"
} 2>&1 | tee "$out"
