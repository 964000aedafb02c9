#!/usr/bin/env bash
# Builds and runs the content download benchmark (bench/ContentDownloadBench.cpp): the download
# queue against aria2c and curl on the stand-in content server, on 127.0.0.1. Installs aria2
# with apt-get when it is missing. It needs some 4 GB in the temporary folder (or 2 GB there
# and 2 GB below $CONTENT_BENCH_OUT, when that is set) and a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v aria2c >/dev/null; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get install -y -qq --no-install-recommends aria2 ||
    { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq --no-install-recommends aria2; }
fi
command -v curl >/dev/null || { echo "curl is missing" >&2; exit 1; }

BUILD=build/release
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAILSTARTER_BUILD_BENCH=ON -DTRAILSTARTER_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 3 --target content_download_bench
uptime
"$BUILD/bench/content_download_bench" "$@"
uptime
