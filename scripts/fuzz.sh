#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang, ASan + UBSan) and
# runs each for a bounded time, starting from its seed corpus. Fails on the
# first target that finds a crash, a leak or a broken property; the input
# that did it is left in build/fuzz/artifacts/.
#   scripts/fuzz.sh [seconds per target, default 20] [target ...]
# MOK_FUZZ_BUILD_DIR picks another build directory (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
shift || true
build="${MOK_FUZZ_BUILD_DIR:-build/fuzz}"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/targets/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

cmake --preset fuzz -B "$build" >/dev/null
# Only the fuzz targets and what they link, not the whole tree.
cmake --build "$build" -j"${MOK_FUZZ_JOBS:-2}" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts" "$build/corpus"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Inputs as long as the largest real one: a scan result of 4096 points is
# 17,600 bytes; everything else stays within 8 KiB.
max_len() {
  case "$1" in
    scan) echo 20000 ;;
    *) echo 8192 ;;
  esac
}

for t in "${targets[@]}"; do
  # New inputs go to a scratch corpus so the committed seeds stay small.
  work="$build/corpus/$t"
  mkdir -p "$work"
  echo "== fuzz_$t for ${seconds}s"
  "$build/fuzz/fuzz_$t" "$work" "fuzz/corpus/$t" \
    -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 2>&1 | tail -n 25
done
