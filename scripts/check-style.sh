#!/usr/bin/env bash
# Checks the C and C++ sources against .clang-format (and, with --tidy,
# .clang-tidy on a configured build's compile_commands.json), and the Python
# sources with flake8 (.flake8) and mypy. Changes nothing; exits non-zero
# listing what differs.
# Usage: scripts/check-style.sh [--tidy <build dir>] [files...]
#   Without files: every tracked source under src include sim tests tools bench
#   fuzz examples, and every tracked Python file. Needs Debian's clang-format
#   (and clang-tidy for --tidy), python3-flake8 and mypy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tidy_dir=""
if [ "${1:-}" = "--tidy" ]; then
  tidy_dir=${2:?--tidy needs a build directory}
  shift 2
fi
if [ $# -eq 0 ]; then
  mapfile -t files < <(git ls-files -- src include sim tests tools bench fuzz examples |
                       grep -E '\.(c|h|cpp|hpp)$')
  mapfile -t py_files < <(git ls-files -- '*.py')
else
  mapfile -t files < <(printf '%s\n' "$@" | grep -E '\.(c|h|cpp|hpp)$' || true)
  mapfile -t py_files < <(printf '%s\n' "$@" | grep -E '\.py$' || true)
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
if [ ${#py_files[@]} -gt 0 ]; then
  if /usr/bin/python3 -m flake8 "${py_files[@]}"; then
    echo "check-style: ${#py_files[@]} Python file(s) pass flake8"
  else
    rc=1
  fi
  # The package and the interface check are typed throughout (every function
  # annotated); the package's tests, its benchmark and example are checked
  # against it.
  if mypy --python-version 3.9 --disallow-untyped-defs --disallow-incomplete-defs python/mok ros2/check_interfaces.py &&
     MYPYPATH=python mypy --python-version 3.9 --ignore-missing-imports python/tests bench/python_pull.py \
       examples/python; then
    echo "check-style: the Python package passes mypy"
  else
    rc=1
  fi
fi
if [ -n "$tidy_dir" ]; then
  # Only the sources that build compiles: clang-tidy needs their flags.
  mapfile -t units < <(/usr/bin/python3 - "$tidy_dir/compile_commands.json" "${files[@]}" <<'PY'
import json, os, sys
built = {os.path.realpath(e["file"]) for e in json.load(open(sys.argv[1]))}
print("\n".join(f for f in sys.argv[2:] if os.path.realpath(f) in built))
PY
)
  if [ ${#units[@]} -gt 0 ]; then
    # Headers of this tree only, not those a build generates under build/.
    filter="^$root/(src|include|sim|tests|bench|fuzz|examples|tools)/"
    printf '%s\0' "${units[@]}" |
      xargs -0 -P "$(nproc)" -n 4 clang-tidy -p "$tidy_dir" --quiet --header-filter="$filter" || rc=1
    [ $rc -ne 0 ] || echo "check-style: ${#units[@]} source(s) follow .clang-tidy"
  fi
fi
exit $rc
