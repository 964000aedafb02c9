#!/usr/bin/env bash
# Builds the release launcher, updater, make-site and the stand-ins and runs
# bench/launcher_download_bench.py: the real launcher's planet-content download against
# curl --parallel, inside a network namespace of its own (so the router's fixed
# 127.0.0.1:30584 is this run's alone).
#
#   bench/launcher-download-bench.sh [--runs N] [--threads N] [SET...]
#
# Sets: 1kib (60,000 files of 1 KiB), 8kib (10,000 of 8 KiB), 1mib (2,000 of 1 MiB); all three
# when none is named. --runs defaults to 3, --threads (Connection\DownloadThreadCount) to 12.
# The work goes to $TMPDIR (/tmp); with CONTENT_BENCH_OUT set the downloads go below that
# folder instead (a tmpfs there takes the disk out of the figures). The 1mib set needs some
# 6 GB (site, archives and curl's files).
#
# Per run and side it prints the time end to end and from the side's first planet request (in
# the stand-in server's request log), the CPU of the side's process tree and the 1-minute load
# average before and after. A run whose curl was starved of CPU (curl --parallel is one thread:
# it waited for a CPU for 0.1 of its wall time, or used 1.5 times the CPU of the set's leanest
# curl run) is run again, at most 3 times; every attempt is printed.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v curl >/dev/null || { echo "curl is missing" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 is missing" >&2; exit 1; }
command -v unshare >/dev/null || { echo "unshare (util-linux) is missing" >&2; exit 1; }

BUILD=build/release
# Configured once: configuring again would relink everything.
[ -f "$BUILD/build.ninja" ] ||
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAILSTARTER_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 4 --target Trailstarter solvenda-updater make-site standin-server standin-router solvenda-client

# Without root a user namespace maps us to root inside, which a network namespace needs.
UNSHARE=(unshare -n)
if [ "$(id -u)" -ne 0 ]; then UNSHARE=(unshare -r -n); fi

uptime
"${UNSHARE[@]}" sh -c 'ip link set lo up && exec python3 "$0" "$@"' \
  bench/launcher_download_bench.py --build "$BUILD" "$@"
uptime
