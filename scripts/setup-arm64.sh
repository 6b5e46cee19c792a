#!/usr/bin/env bash
# Installs what the ARM64 cross build, its emulated tests and its packages
# need: Debian's aarch64 cross compilers, the user-mode emulator, and the
# same development packages as scripts/setup.sh for the arm64 architecture
# (multiarch). Safe to run again; does nothing when all is there.
set -euo pipefail
# Code generators and architecture-independent headers run or are read on
# this machine; libraries come in as :arm64 beside the host's.
host_packages=(
  crossbuild-essential-arm64 qemu-user-static dpkg-dev
  cyclonedds-tools libasio-dev libcli11-dev libeigen3-dev nlohmann-json3-dev
)
arm64_packages=(
  libfmt-dev libgtest-dev libgmock-dev
  libavcodec-dev libavformat-dev libswscale-dev libavutil-dev
  libjpeg62-turbo-dev libpng-dev
  cyclonedds-dev libcpp-httplib-dev
)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
apt_get() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 "$@"; }

added=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
  added=1
fi
missing=()
for p in "${host_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
for p in "${arm64_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p:arm64" 2>/dev/null | grep -q "install ok installed" || missing+=("$p:arm64")
done
if ((${#missing[@]} || added)); then
  echo "setup-arm64: installing ${missing[*]}"
  apt_get update -qq
  ((${#missing[@]} == 0)) || apt_get install -y -qq --no-install-recommends "${missing[@]}"
fi
