#!/usr/bin/env bash
# The whole stack under faults and hostile clients for a chosen time
# (scripts/soak_stack.py says what runs and what is checked).
#   scripts/soak-stack.sh [seconds, default 600] [build dir, default build/debug]
# CI runs a short one: scripts/soak-stack.sh 45
set -euo pipefail
cd "$(dirname "$0")/.."
exec /usr/bin/python3 scripts/soak_stack.py "$@"
