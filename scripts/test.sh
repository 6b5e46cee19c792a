#!/usr/bin/env bash
# Sets up the machine, builds the debug preset and runs the whole test suite.
# Usage: scripts/test.sh [preset [ctest arguments...]]
#        (preset: debug by default; also clang-debug, asan, tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-debug}"
scripts/setup.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" "${@:2}"
