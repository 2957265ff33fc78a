#!/usr/bin/env bash
# Installs every Debian package the station needs to build, run and test.
# Idempotent: packages already present are left alone; safe to run again.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config
  # libraries
  qt6-base-dev libudev-dev libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev
  libbenchmark-dev
  # checkers used by the tests on produced file systems and CD-ROM fixtures
  dosfstools mtools xorriso
  # window screenshots and Chinese captions
  xvfb xauth fonts-noto-cjk
  # fuzzing
  clang
  # the real-kernel rig
  qemu-system-x86 linux-image-amd64 busybox-static
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
