#!/usr/bin/env bash
# Builds the release Debian packages, unpacks them into a staging prefix, and
# builds and runs the example hosts against that staged SDK, once through
# find_package(mok) and once through pkg-config, with the staged emulator
# (mok-camsim) as the camera. A missing or broken install rule fails here.
#
# Usage: scripts/package-check.sh [--system] [--arm64]
#   --system  also install the packages with dpkg -i (root only), build the C
#             example against /usr, remove them with dpkg -r and check that no
#             file is left behind. Changes this machine; off by default.
#   --arm64   the packages cross-built for arm64 (scripts/setup-arm64.sh):
#             also checks their architecture, the ELF machine of what they
#             carry and that their dependencies exist in Debian's arm64
#             archive; the consumers are cross-compiled against the staged
#             SDK, and every staged or consumer program runs under
#             qemu-aarch64. The Python package's check needs an arm64
#             interpreter and is left out.
# Environment: MOK_PKG_BUILD_DIR (default build/pkg-check, build/pkg-check-arm64
#   with --arm64), MOK_PKG_JOBS (2),
#   MOK_PKG_CMAKE_ARGS (extra configure arguments, e.g. to check an
#   unoptimised build quickly: "-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0"),
#   MOK_PKG_SKIP_BUILD=1 (check the packages already in the build directory).
# Exit status: 0 when every step passed; a summary is printed either way.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${MOK_PKG_JOBS:-2}
system=0
arm64=0
for arg in "$@"; do
  case "$arg" in
    --system) system=1 ;;
    --arm64) arm64=1 ;;
    *) echo "usage: $0 [--system] [--arm64]" >&2; exit 2 ;;
  esac
done
# "${emu[@]}" PROGRAM ARGS... runs a program built for the packages' architecture.
emu=()
cross_args=()
cc=cc
cxx=c++
if [ "$arm64" -eq 1 ]; then
  bdir=${MOK_PKG_BUILD_DIR:-$root/build/pkg-check-arm64}
  cross_args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/aarch64-linux-gnu.cmake")
  cc=aarch64-linux-gnu-gcc
  cxx=aarch64-linux-gnu-g++
  # No prefix (-L /): the multiarch libraries alone (see the toolchain file).
  emu=(qemu-aarch64-static -L /)
  [ "$system" -eq 0 ] || { echo "--system checks this machine's own architecture only" >&2; exit 2; }
else
  bdir=${MOK_PKG_BUILD_DIR:-$root/build/pkg-check}
fi

work=$(mktemp -d /tmp/mok-pkg.XXXXXX)
camsim_pids=()
cleanup() {
  local pid
  for pid in "${camsim_pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

results=()
failed=0
# step NAME COMMAND...: runs the command, logs its output under $work/logs,
# shows the log's tail on failure, and records the outcome for the summary.
step() {
  local name="$1"; shift
  local log
  log="$work/logs/$(echo "$name" | tr -c 'A-Za-z0-9' '_').log"
  mkdir -p "$work/logs"
  echo "--- $name"
  if "$@" >"$log" 2>&1; then
    results+=("PASS  $name")
  else
    results+=("FAIL  $name")
    failed=1
    tail -n 40 "$log" | sed 's/^/    /'
    return 1
  fi
}
summary() {
  echo
  echo "=== package check summary"
  printf '  %s\n' "${results[@]}"
  if [ "$failed" -ne 0 ]; then echo "=== package check FAILED"; exit 1; fi
  echo "=== package check passed"
  exit 0
}

# ---- Build and package -----------------------------------------------------
if [ "${MOK_PKG_SKIP_BUILD:-0}" != 1 ]; then
  step "configure release (tests off)" timeout 600 cmake -S "$root" -B "$bdir" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DMOK_BUILD_TESTS=OFF -DMOK_BUILD_BENCH=OFF \
    -DMOK_BUILD_FUZZ=OFF -DMOK_BUILD_EXAMPLES=OFF "${cross_args[@]}" ${MOK_PKG_CMAKE_ARGS:-} || summary
  step "build" timeout 3600 cmake --build "$bdir" -j "$jobs" || summary
  rm -f "$bdir"/*.deb
  step "cpack DEB" bash -c "cd '$bdir' && timeout 900 cpack -G DEB" || summary
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$bdir/CMakeCache.txt")
debs=()
for pkg in libmok1 libmok-media libmok-dev mok-tools python3-mok; do
  f=$(ls "$bdir"/${pkg}_"${version}"_*.deb 2>/dev/null | head -n1)
  if [ -z "$f" ]; then
    results+=("FAIL  package $pkg ${version} built"); failed=1
  else
    debs+=("$f")
  fi
done
[ "$failed" -eq 0 ] || summary
# The DDS bridge is built where Cyclone DDS is installed, into its own package.
bridge_deb=$(ls "$bdir"/mok-bridge_"${version}"_*.deb 2>/dev/null | head -n1)
[ -n "$bridge_deb" ] && debs+=("$bridge_deb")

check_metadata() {
  local deb dep
  for deb in "${debs[@]}"; do
    dpkg-deb --info "$deb" >/dev/null || return 1
  done
  # FFmpeg comes with the decoder library only, never with libmok1 itself.
  dep=$(dpkg-deb -f "$bdir/libmok1_${version}_"*.deb Depends)
  [[ "$dep" != *libav* ]] || { echo "libmok1 must not depend on FFmpeg: $dep"; return 1; }
  dep=$(dpkg-deb -f "$bdir/libmok-media_${version}_"*.deb Depends)
  [[ "$dep" == *libavcodec* ]] || { echo "libmok-media Depends: $dep"; return 1; }
  dep=$(dpkg-deb -f "$bdir/libmok-dev_${version}_"*.deb Depends)
  [[ "$dep" == *"libmok1 (= $version)"* ]] || { echo "libmok-dev Depends: $dep"; return 1; }
  dep=$(dpkg-deb -f "$bdir/mok-tools_${version}_"*.deb Depends)
  [[ "$dep" == *"libmok1 (= $version)"* && "$dep" == *"libmok-media (= $version)"* ]] || { echo "mok-tools Depends: $dep"; return 1; }
  [[ "$dep" != *ddsc* ]] || { echo "mok-tools must not depend on Cyclone DDS: $dep"; return 1; }
  if [ -n "$bridge_deb" ]; then
    dep=$(dpkg-deb -f "$bridge_deb" Depends)
    [[ "$dep" == *"libmok1 (= $version)"* && "$dep" == *libddsc* ]] || { echo "mok-bridge Depends: $dep"; return 1; }
  fi
  dep=$(dpkg-deb -f "$bdir/python3-mok_${version}_"*.deb Depends)
  [[ "$dep" == *"libmok1 (= $version)"* && "$dep" == *python3-numpy* ]] || { echo "python3-mok Depends: $dep"; return 1; }
}
step "package metadata" check_metadata

if [ "$arm64" -eq 1 ]; then
  # The architecture field, and the machine of every ELF file inside.
  check_arch() {
    local deb arch want f bad=0 x="$work/arch"
    for deb in "${debs[@]}"; do
      arch=$(dpkg-deb -f "$deb" Architecture)
      want=arm64
      [[ "$(basename "$deb")" == python3-mok_* ]] && want=all
      [ "$arch" = "$want" ] || { echo "$(basename "$deb"): Architecture $arch, not $want"; bad=1; }
      rm -rf "$x" && mkdir -p "$x" && dpkg-deb -x "$deb" "$x"
      while IFS= read -r f; do
        if head -c 4 "$f" | grep -q $'^\x7fELF'; then
          readelf -h "$f" | grep 'Machine:.*AArch64' >/dev/null || { echo "not AArch64: ${f#"$x"}"; bad=1; }
        fi
      done < <(find "$x" -type f)
    done
    return $bad
  }
  step "architecture arm64, AArch64 ELF files" check_arch
  # Every dependency outside our own packages must have an arm64 (or
  # architecture-independent) candidate in Debian's archive.
  check_deps_resolvable() {
    local deb group alt name found bad=0
    for deb in "${debs[@]}"; do
      # One line per dependency; alternatives (a | b) resolve when one does.
      while IFS= read -r group; do
        [ -n "$group" ] || continue
        found=0
        while IFS= read -r alt; do
          name=${alt%% *}
          [ -n "$name" ] || continue
          case "$name" in libmok1|libmok-media|libmok-dev|mok-tools|mok-bridge|python3-mok) found=1; break ;; esac
          # grep reads to the end (no -q): under pipefail, apt-cache killed by
          # SIGPIPE after an early match would fail the pipeline.
          if apt-cache policy "$name:arm64" | grep 'Candidate: [^(]' >/dev/null; then found=1; break; fi
        done < <(tr '|' '\n' <<<"$group" | sed 's/^ *//')
        if ((!found)); then echo "$(basename "$deb"): no arm64 candidate for $group"; bad=1; fi
      done < <(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//')
    done
    return $bad
  }
  step "dependencies resolvable from Debian's arm64 archive" check_deps_resolvable
fi

# ---- Stage -----------------------------------------------------------------
stage="$work/stage"
unpack() {
  local deb
  mkdir -p "$stage"
  for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$stage" || return 1; done
}
step "unpack into staging prefix" unpack || summary
prefix="$stage/usr"

check_layout() {
  local f bad=0
  for f in lib/libmok.so."$version" lib/libmok.so.1 lib/libmok.so lib/libmok_media.so \
           lib/libmokctl_sim.so \
           include/mok/mok.h include/mok/mok.hpp include/mok/mok_fxt.h include/mok/mok_fxr.h \
           include/mok/mok_log.h include/mok/mok_export.h include/mok/mok_version.h \
           include/mok/mok_track.h include/mok/mok_track.hpp \
           lib/cmake/mok/mokConfig.cmake lib/cmake/mok/mokConfigVersion.cmake share/doc/mok/threading.md \
           lib/cmake/mok/mokTargets.cmake lib/pkgconfig/mok.pc bin/mok-camsim bin/mokctl \
           lib/python3/dist-packages/mok/__init__.py lib/python3/dist-packages/mok/py.typed; do
    [ -e "$prefix/$f" ] || { echo "missing: $f"; bad=1; }
  done
  [ "$(readlink "$prefix/lib/libmok.so.1")" = "libmok.so.$version" ] || { echo "libmok.so.1 is not a link to libmok.so.$version"; bad=1; }
  [ "$(readlink "$prefix/lib/libmok.so")" = "libmok.so.1" ] || { echo "libmok.so is not a link to libmok.so.1"; bad=1; }
  readelf -d "$prefix/lib/libmok.so.$version" | grep 'SONAME.*\[libmok\.so\.1\]' >/dev/null || { echo "SONAME is not libmok.so.1"; bad=1; }
  readelf -d "$prefix/bin/mokctl" | grep -Eq '(RUNPATH|RPATH).*\$ORIGIN/\.\./lib' || { echo "mokctl lacks the \$ORIGIN/../lib run path"; bad=1; }
  # The runtime package carries the library only; headers and links belong to -dev.
  dpkg-deb -c "$bdir/libmok1_${version}_"*.deb | grep -Eq 'include/|libmok\.so$|pkgconfig|cmake' && { echo "libmok1 carries development files"; bad=1; }
  dpkg-deb -c "$bdir/libmok1_${version}_"*.deb | grep 'libmok_media' >/dev/null && { echo "libmok1 carries the decoder library"; bad=1; }
  return $bad
}
step "installed layout (SONAME, links, headers, package files)" check_layout

# Installed tools must find their libraries through the run path alone.
tools_run() {
  local deps
  if [ "$arm64" -eq 1 ]; then
    deps=$(env -u LD_LIBRARY_PATH "${emu[@]}" /lib/ld-linux-aarch64.so.1 --list "$prefix/bin/mokctl") || return 1
  else
    deps=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/mokctl") || return 1
  fi
  echo "$deps"
  grep -q "libmok.so.1 => $prefix/\(bin/\.\./\)\?lib/" <<<"$deps" || { echo "libmok.so.1 not from $prefix/lib"; return 1; }
  env -u LD_LIBRARY_PATH timeout 60 "${emu[@]}" "$prefix/bin/mokctl" --help >/dev/null || { echo "mokctl --help: $?"; return 1; }
  env -u LD_LIBRARY_PATH timeout 60 "${emu[@]}" "$prefix/bin/mok-camsim" --help >/dev/null || { echo "mok-camsim --help: $?"; return 1; }
  if [ -n "$bridge_deb" ]; then
    env -u LD_LIBRARY_PATH timeout 60 "${emu[@]}" "$prefix/bin/mok-bridge" --help >/dev/null || { echo "mok-bridge --help: $?"; return 1; }
  fi
}
step "staged tools run from their own lib directory" tools_run

# ---- The emulated camera -----------------------------------------------------
# start_camsim NAME ARGS...: starts the staged emulator on a free port and sets
# $port from its first line ("listening on 127.0.0.1:PORT").
start_camsim() {
  local name="$1"; shift
  "${emu[@]}" "$prefix/bin/mok-camsim" --port 0 --duration 600 "$@" >"$work/$name.out" 2>"$work/$name.err" &
  local pid=$!
  camsim_pids+=("$pid")
  local _
  port=""
  for _ in $(seq 1 300); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$work/$name.out" | head -n1)
    [ -n "$port" ] && { echo "$name on port $port"; return 0; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/$name.err"
  return 1
}
port=""
step "staged mok-camsim listens" start_camsim camsim || summary
addr="127.0.0.1:$port"

run_hosts() {  # DIR
  env -u LD_LIBRARY_PATH timeout 60 "${emu[@]}" "$1/c_host" "$addr" || return 1
  env -u LD_LIBRARY_PATH timeout 60 "${emu[@]}" "$1/cpp_host" "$addr"
}

# ---- Examples through find_package -------------------------------------------
ex_cmake() {
  local b="$work/ex-cmake"
  timeout 300 cmake -S "$root/examples" -B "$b" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF "${cross_args[@]}" || return 1
  # The package must come from the staging prefix, not from this machine.
  grep -q "^mok_DIR:PATH=$prefix/lib/cmake/mok$" "$b/CMakeCache.txt" || { grep mok_DIR "$b/CMakeCache.txt"; return 1; }
  timeout 600 cmake --build "$b" -j "$jobs" || return 1
  run_hosts "$b"
}
step "examples via find_package(mok CONFIG), run against mok-camsim" ex_cmake

# ---- Examples through pkg-config ---------------------------------------------
ex_pkgconfig() {
  local b="$work/ex-pc" flags
  mkdir -p "$b"
  # PKG_CONFIG_LIBDIR hides any mok.pc installed on this machine.
  flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" \
          pkg-config --cflags --libs mok) || return 1
  echo "pkg-config: $flags"
  # The .pc file is relocatable: its paths must lead into the staging prefix.
  local inc lib
  inc=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --variable=includedir mok)
  lib=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --variable=libdir mok)
  [ "$(cd "$inc" && pwd -P)" = "$(cd "$prefix/include" && pwd -P)" ] || { echo "includedir $inc"; return 1; }
  [ "$(cd "$lib" && pwd -P)" = "$(cd "$prefix/lib" && pwd -P)" ] || { echo "libdir $lib"; return 1; }
  # shellcheck disable=SC2086
  timeout 300 "$cc" -std=c99 -Wall -Wextra -pedantic -Werror -D_POSIX_C_SOURCE=199309L \
    "$root/examples/c_host.c" $flags -Wl,-rpath,"$prefix/lib" -o "$b/c_host" || return 1
  # shellcheck disable=SC2086
  timeout 300 "$cxx" -std=c++17 -Wall -Wextra -pedantic -Werror \
    "$root/examples/cpp_host.cpp" $flags -Wl,-rpath,"$prefix/lib" -o "$b/cpp_host" || return 1
  run_hosts "$b"
}
step "examples via pkg-config, run against mok-camsim" ex_pkgconfig

# ---- The Python package --------------------------------------------------------
# The staged package with the staged library (the system loader would look
# under /usr), against the staged emulator.
python_check() {
  env -u LD_LIBRARY_PATH PYTHONPATH="$prefix/lib/python3/dist-packages" MOK_LIBRARY="$prefix/lib/libmok.so.1" \
    timeout 60 /usr/bin/python3 -c "
import sys, mok
assert mok.__file__.startswith('$prefix'), mok.__file__
with mok.Camera('$addr', queue_capacity=64) as cam:
    cam.wait_params(10)
    b = cam.read_scans(16, timeout=10)
    assert len(b) and cam.serial_number, (len(b), cam.serial_number)
    print('python:', mok.load_library(), len(b), 'results from', cam.serial_number)
"
}
[ "$arm64" -eq 1 ] || step "python3-mok imports and reads results from mok-camsim" python_check

# ---- Video through the staged tools ---------------------------------------------
# Run from the staged lib directory: the decoder library is found in the
# working directory, as it would be found on the system path under /usr.
# A second emulator streams the video, so its encoder does not slow the first.
video_addr=""
video_check() {
  start_camsim camsim-video --video h264 --video-fps 10 || return 1
  video_addr="127.0.0.1:$port"
  (cd "$prefix/lib" && env -u LD_LIBRARY_PATH timeout 120 "${emu[@]}" "$prefix/bin/mokctl" video "$video_addr" \
     --frames 3 -o "$work/frames") || return 1
  ls "$work/frames"/*.png >/dev/null
}
step "staged mokctl decodes video with the staged decoder" video_check

# ---- Optional: the real dpkg cycle on this machine -------------------------------
if [ "$system" -eq 1 ]; then
  dpkg_cycle() {
    [ "$(id -u)" -eq 0 ] || { echo "--system needs root"; return 1; }
    local pkg
    for pkg in libmok1 libmok-media libmok-dev mok-tools python3-mok; do
      if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        echo "$pkg is already installed; not touching this machine"; return 1
      fi
    done
    dpkg -i "${debs[@]}" || return 1
    local b="$work/ex-system" rc=0
    mkdir -p "$b"
    local flags
    flags=$(pkg-config --cflags --libs mok) || rc=1
    # shellcheck disable=SC2086
    cc -std=c99 -D_POSIX_C_SOURCE=199309L "$root/examples/c_host.c" $flags -o "$b/c_host" || rc=1
    [ $rc -eq 0 ] && { timeout 60 "$b/c_host" "$addr" || rc=1; }
    if [ $rc -eq 0 ] && [ -n "$video_addr" ]; then
      (cd / && timeout 120 mokctl video "$video_addr" --frames 2 -o "$b/frames") || rc=1
    fi
    local files
    [ $rc -eq 0 ] && { (cd / && timeout 60 /usr/bin/python3 -c "import mok; print(mok.load_library())") || rc=1; }
    local pkgs=(libmok1 libmok-media libmok-dev mok-tools python3-mok)
    [ -n "$bridge_deb" ] && pkgs+=(mok-bridge)
    files=$(dpkg -L "${pkgs[@]}" | sort -u)
    [ -n "$bridge_deb" ] && { dpkg -r mok-bridge || rc=1; }
    dpkg -r python3-mok mok-tools libmok-dev libmok-media libmok1 || rc=1
    # Nothing the packages installed may remain (directories shared with the
    # system stay, as dpkg keeps non-empty ones).
    local f
    while IFS= read -r f; do
      [ -n "$f" ] || continue
      if [ -e "$f" ] && [ ! -d "$f" ]; then echo "left behind: $f"; rc=1; fi
    done <<<"$files"
    [ ! -d /usr/include/mok ] || { echo "left behind: /usr/include/mok"; rc=1; }
    [ ! -d /usr/lib/cmake/mok ] || { echo "left behind: /usr/lib/cmake/mok"; rc=1; }
    # dpkg -r keeps the packages' records (state "rc") for a later purge.
    [ -n "$bridge_deb" ] && { dpkg -P mok-bridge || rc=1; }
    dpkg -P python3-mok mok-tools libmok-dev libmok-media libmok1 || rc=1
    if dpkg-query -W -f='${Status}\n' libmok1 libmok-media libmok-dev mok-tools python3-mok 2>/dev/null | grep -qv 'not-installed'; then
      echo "dpkg still knows the packages after purging"; rc=1
    fi
    return $rc
  }
  step "dpkg -i, build against /usr, dpkg -r, nothing left" dpkg_cycle
fi

summary
