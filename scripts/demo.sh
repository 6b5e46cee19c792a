#!/usr/bin/env bash
# The first thing to run on a fresh machine: installs what is missing, builds
# mokctl with the release preset and runs `mokctl demo` against a simulated
# camera (no camera or network needed). Files go to build/demo-output unless
# options for the demo are given, e.g. scripts/demo.sh -o /tmp/demo --seconds 10
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# Warnings stay warnings here: a newer or older compiler's opinion must not
# stop a first build (the test and CI builds keep -Werror).
cmake --preset release -DMOK_WERROR=OFF >/dev/null
cmake --build --preset release --target mokctl
args=("$@")
if ((${#args[@]} == 0)); then args=(-o build/demo-output); fi
exec build/release/tools/mokctl/mokctl demo "${args[@]}"
