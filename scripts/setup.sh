#!/usr/bin/env bash
# Installs from Debian's packages whatever the build, the tests and the tools
# need and this machine lacks. Safe to run again; does nothing when all is there.
# --arm64: also what the ARM64 cross build needs (scripts/setup-arm64.sh).
set -euo pipefail
packages=(
  cmake ninja-build g++ clang lld pkg-config
  libasio-dev libfmt-dev libcli11-dev libeigen3-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libavcodec-dev libavformat-dev libswscale-dev libavutil-dev
  libjpeg62-turbo-dev libpng-dev
  libclang-rt-14-dev binutils
  doxygen
  cyclonedds-dev cyclonedds-tools
  chromium chromium-driver python3-selenium python3-pytest
  python3 python3-numpy python3-setuptools python3-flake8 mypy
  liburing-dev clang-format clang-tidy
  libceres-dev nlohmann-json3-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [[ "${1:-}" == --arm64 ]]; then
  "$(dirname "$0")/setup-arm64.sh"
fi
