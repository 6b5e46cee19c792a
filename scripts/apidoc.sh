#!/usr/bin/env bash
# Builds the API reference from the public headers (build/apidoc/html) and
# fails when Doxygen reports anything undocumented or malformed, so a new
# public function cannot land without its comment.
# Usage: scripts/apidoc.sh      (from anywhere; needs Debian's doxygen)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v doxygen >/dev/null || { echo "apidoc: doxygen not found (run scripts/setup.sh)" >&2; exit 2; }
out=build/apidoc
rm -rf "$out"
mkdir -p "$out"
timeout 300 doxygen docs/Doxyfile
log=$out/warnings.log
if [ -s "$log" ]; then
  undocumented=$(grep -c "is not documented" "$log" || true)
  echo "apidoc: $(wc -l <"$log") warning line(s), $undocumented undocumented member(s):" >&2
  sed "s|$root/||" "$log" >&2
  exit 1
fi
echo "apidoc: OK, no warnings; open $out/html/index.html"
