#!/usr/bin/env bash
# Sets up the machine, builds the debug preset and runs the whole test suite.
# Usage: scripts/test.sh [preset [ctest arguments...]]
#        (preset: debug by default; also clang-debug, asan, tsan, uring, and
#        arm64: cross-built, the tests run under qemu-aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-debug}"
if [ "$preset" = arm64 ]; then scripts/setup.sh --arm64; else scripts/setup.sh; fi
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" "${@:2}"
