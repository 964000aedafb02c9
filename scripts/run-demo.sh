#!/usr/bin/env bash
# Builds Trailstarter and runs it in a sample installation under demo/, against the local
# stand-in servers on 127.0.0.1. Installs the missing Debian packages first.
# Without a display it runs under a virtual X server (Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash scripts/install-deps.sh

BUILD=build/release
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAILSTARTER_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

DEMO="$ROOT/demo"
mkdir -p "$DEMO/bin64" "$DEMO/bin32" "$DEMO/config"
[ -f "$DEMO/version.txt" ] || echo "1.0.0.0" > "$DEMO/version.txt"
printf 'localhost' > "$DEMO/site.txt"
cp "$BUILD/launcher/Trailstarter" "$DEMO/Trailstarter"

# Settings of the demo stay inside the demo folder.
export TRAILSTARTER_USER_HIVE="$DEMO/config/user-hive.txt"
export TRAILSTARTER_MACHINE_HIVE="$DEMO/config/machine-hive.txt"

PIDS=()
cleanup() { for p in "${PIDS[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# Stand-in servers (each prints "listening on ADDRESS:PORT" once bound).
if [ -x "$BUILD/tools/standin-router/standin-router" ]; then
  "$BUILD/tools/standin-router/standin-router" --listen 127.0.0.1:30584 --version "$(cat "$DEMO/version.txt")" &
  PIDS+=($!)
fi

cd "$DEMO"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  xvfb-run -a ./Trailstarter "$@"
else
  ./Trailstarter "$@"
fi
