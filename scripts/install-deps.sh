#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Trailstarter need.
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-webengine-dev libgl-dev
  qt6-translations-l10n
  libcurl4-openssl-dev libssl-dev
  libboost-dev libboost-system-dev libboost-filesystem-dev libboost-program-options-dev
  libboost-thread-dev
  libxml2-dev zlib1g-dev libzip-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth fonts-dejavu-core openssl
  clang-14 libclang-rt-14-dev
  python3 zip unzip
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
