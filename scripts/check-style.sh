#!/usr/bin/env bash
# Checks the C and C++ sources against .clang-format (and, with --tidy,
# .clang-tidy on a configured build's compile_commands.json). Changes
# nothing; exits non-zero listing the files that differ.
# Usage: scripts/check-style.sh [--tidy <build dir>] [files...]
#   Without files: every tracked source under src include tests tools bench
#   fuzz examples. Needs Debian's clang-format (and clang-tidy for --tidy).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tidy_dir=""
if [ "${1:-}" = "--tidy" ]; then
  tidy_dir=${2:?--tidy needs a build directory}
  shift 2
fi
if [ $# -eq 0 ]; then
  mapfile -t files < <(git ls-files -- src include tests tools bench fuzz examples |
                       grep -E '\.(c|h|cpp|hpp)$')
else
  files=("$@")
fi
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -ne 0 ]; then
  echo "check-style: ${#bad[@]} file(s) differ from .clang-format (clang-format -i to fix):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  rc=1
else
  echo "check-style: ${#files[@]} file(s) formatted"
  rc=0
fi
if [ -n "$tidy_dir" ]; then
  mapfile -t units < <(printf '%s\n' "${files[@]}" | grep -E '\.(c|cpp)$' || true)
  [ ${#units[@]} -eq 0 ] || clang-tidy -p "$tidy_dir" --quiet --warnings-as-errors='*' "${units[@]}" || rc=1
fi
exit $rc
