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
TOOLS="$BUILD/tools"
start_standin() {  # start_standin LOGFILE COMMAND...: starts it and waits for its address
  local log=$1; shift
  "$@" > "$log" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do
    grep -q '^listening on ' "$log" 2>/dev/null && break
    sleep 0.1
  done
  sed -n 's/^listening on //p' "$log" | head -1
}

# An update site made from a small client folder, served on a port the system chooses.
mkdir -p "$DEMO/site-client/bin64"
cp "$TOOLS/solvenda-client/Solvenda" "$DEMO/site-client/bin64/Solvenda"
cp "$DEMO/version.txt" "$DEMO/site-client/version.txt"
"$TOOLS/make-site/make-site" --client "$DEMO/site-client" --out "$DEMO/site" --version "$(cat "$DEMO/version.txt")" >/dev/null
cp -r tools/standin-server/site/. "$DEMO/site/"  # the terms-of-use pages, "(en)/trailstarter/..." per language
SERVER=$(start_standin "$DEMO/standin-server.log" "$TOOLS/standin-server/standin-server" --root "$DEMO/site" --listen 127.0.0.1:0)
echo "update site on http://$SERVER/"

# The router announces the installed version, so Launch comes up enabled.
ROUTER=$(start_standin "$DEMO/standin-router.log" "$TOOLS/standin-router/standin-router" \
         --listen 127.0.0.1:30584 --version "$(cat "$DEMO/version.txt")" --log)
echo "router on $ROUTER"

# The installed client is the stand-in game client.
cp "$TOOLS/solvenda-client/Solvenda" "$DEMO/bin64/Solvenda"
cp "$TOOLS/solvenda-client/Solvenda" "$DEMO/bin32/Solvenda"

set -- "web.update.url=http://$SERVER/" "web.terms.url=http://$SERVER/" "$@"

cd "$DEMO"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  xvfb-run -a ./Trailstarter "$@"
else
  ./Trailstarter "$@"
fi
