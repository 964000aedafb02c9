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
# The installed client is one version behind the update site, so every start updates it.
INSTALLED_VERSION=1.0.0.0
SITE_VERSION=1.0.0.1
echo "$INSTALLED_VERSION" > "$DEMO/version.txt"
printf 'localhost' > "$DEMO/site.txt"
cp "$BUILD/launcher/Trailstarter" "$DEMO/Trailstarter"
cp "$BUILD/tools/updater/SolvendaUpdater" "$DEMO/bin32/SolvendaUpdater"

# Settings of the demo stay inside the demo folder.
export TRAILSTARTER_USER_HIVE="$DEMO/config/user-hive.txt"
export TRAILSTARTER_MACHINE_HIVE="$DEMO/config/machine-hive.txt"
# The stand-in client writes its record beside its executable, where the clean-up looks for it.
unset SOLVENDA_STANDIN_RECORD

# Every process this script starts runs in its own process group; all of them are stopped on
# every way out of the script (normal end, error, Ctrl-C, hang-up). The game client that the
# launcher starts leads a session of its own, out of reach of its group: the stand-in client
# records its pid beside its executable (solvenda-run.txt), and is stopped by that pid, once the
# launcher can start no other.
PIDS=()
CLIENT_RECORDS=("$DEMO/bin64/solvenda-run.txt" "$DEMO/bin32/solvenda-run.txt")
rm -f "${CLIENT_RECORDS[@]}"
stop_clients() {
  local record pid exe clients=() _
  for record in "${CLIENT_RECORDS[@]}"; do
    [ -f "$record" ] || continue
    pid=$(sed -n 's/^pid=//p' "$record" 2>/dev/null | head -1) || true
    [ -n "$pid" ] || continue
    # Only a stand-in client of this demo: the pid may have been reused since.
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    case "$exe" in "$DEMO"/bin64/Solvenda*|"$DEMO"/bin32/Solvenda*) ;; *) continue ;; esac
    kill -TERM "$pid" 2>/dev/null && clients+=("$pid")
  done
  for pid in "${clients[@]}"; do
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  done
}
cleanup() {
  local p
  for p in "${PIDS[@]}"; do
    kill -TERM -- "-$p" 2>/dev/null || kill -TERM "$p" 2>/dev/null || true
  done
  for p in "${PIDS[@]}"; do
    wait "$p" 2>/dev/null || true
  done
  stop_clients
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

fail() { echo "run-demo: $*" >&2; exit 1; }

# Stand-in servers print "listening on ADDRESS:PORT" once bound. start_standin NAME LOGFILE COMMAND...
# starts one in the background (in this shell, so that its id is kept for the clean-up) and sets
# ADDRESS to where it listens; it fails the script when the stand-in ends or does not come up.
TOOLS="$BUILD/tools"
ADDRESS=
start_standin() {
  local name=$1 log=$2; shift 2
  setsid "$@" > "$log" 2>&1 &
  local pid=$!
  PIDS+=("$pid")
  for _ in $(seq 100); do
    ADDRESS=$(sed -n 's/^listening on //p' "$log" 2>/dev/null | head -1)
    [ -n "$ADDRESS" ] && return 0
    kill -0 "$pid" 2>/dev/null || fail "the $name did not start: $(tail -n 3 "$log")"
    sleep 0.1
  done
  fail "the $name did not come up within 10 s (see $log)"
}

# An update site made from a small client folder, served on a port the system chooses. Its
# client holds the instance object the launcher watches ("Solvenda_0_localhost" on this site)
# for 15 seconds, then exits.
rm -rf "$DEMO/site-client" "$DEMO/site"
mkdir -p "$DEMO/site-client/bin64" "$DEMO/site-client/bin32" "$DEMO/site-client/data"
for bits in bin64 bin32; do
  cp "$TOOLS/solvenda-client/Solvenda" "$DEMO/site-client/$bits/Solvenda"
  printf 'SOLVENDA_STANDIN_LOCK=Solvenda_0_localhost\nSOLVENDA_STANDIN_HOLD_MS=15000\n' \
    > "$DEMO/site-client/$bits/solvenda-standin.cfg"
done
cp "$BUILD/tools/updater/SolvendaUpdater" "$DEMO/site-client/bin32/SolvendaUpdater"
head -c 3000000 /dev/urandom > "$DEMO/site-client/data/planets.dat"
echo "$SITE_VERSION" > "$DEMO/site-client/version.txt"
# Planet content: two territories of planets; "terra/alpha" is the content every installation
# needs, fetched right after the update. Its descriptor tables and planet list reach the
# installation with the update (program_data/); the stored forms are served from the site.
rm -rf "$DEMO/site-planets" "$DEMO/public_users_data/dynamic_content"
for planet in terra/alpha terra/beta vega/gamma; do
  mkdir -p "$DEMO/site-planets/$planet/maps"
  for n in 1 2 3 4 5 6 7 8; do
    head -c 2000000 /dev/urandom > "$DEMO/site-planets/$planet/maps/tile$n.dat"
  done
  head -c 300000 /dev/zero | tr "\0" "t" > "$DEMO/site-planets/$planet/terrain.txt"
done
"$TOOLS/make-site/make-site" --client "$DEMO/site-client" --out "$DEMO/site" --version "$SITE_VERSION" \
  --planets "$DEMO/site-planets" --required terra/alpha >/dev/null
cp -r tools/standin-server/site/. "$DEMO/site/"  # the terms-of-use pages, "(en)/trailstarter/..." per language
# Planet files are served at a modem's pace (8 KiB every 20 ms), so that the planet download's
# progress stays on the window for a few seconds instead of a blink.
CONTENT_PACE=()
while IFS= read -r stored; do
  CONTENT_PACE+=(--fault "/${stored#"$DEMO/site/"}=slow:8192:20")
done < <(find "$DEMO/site/dynamic_content" -type f)
start_standin "stand-in server" "$DEMO/standin-server.log" \
              "$TOOLS/standin-server/standin-server" --root "$DEMO/site" --listen 127.0.0.1:0 \
              --post-folder "$DEMO/crash-reports" "${CONTENT_PACE[@]}"
SERVER=$ADDRESS
echo "update site on http://$SERVER/"
# The content servers: the same stand-in.
printf '<?xml version="1.0"?>\n<downloadServers>\n  <downloadServer>http://%s/</downloadServer>\n</downloadServers>\n' \
  "$SERVER" > "$DEMO/site/download_servers.xml"

# The router announces the site's version: the launcher updates, then enables Launch.
start_standin "stand-in router" "$DEMO/standin-router.log" \
              "$TOOLS/standin-router/standin-router" \
              --listen 127.0.0.1:30584 --version "$SITE_VERSION" --log
ROUTER=$ADDRESS
echo "router on $ROUTER"

# The installed client is an older stand-in game client without its settings file; the update
# brings the site's files.
cp "$TOOLS/solvenda-client/Solvenda" "$DEMO/bin64/Solvenda"
cp "$TOOLS/solvenda-client/Solvenda" "$DEMO/bin32/Solvenda"
rm -f "$DEMO/bin64/solvenda-standin.cfg" "$DEMO/bin32/solvenda-standin.cfg" "$DEMO/data/planets.dat"

# The news pages and the crash reports (stored in demo/crash-reports/) come from the stand-in too.
set -- "web.update.url=http://$SERVER/" "web.terms.url=http://$SERVER/" "web.news.host=$SERVER" \
       "crash.report_url=http://$SERVER/crashreport.xml" "$@"

# The browser engine's sandbox needs user namespaces that a root or container run lacks.
if [ "$(id -u)" -eq 0 ]; then
  export QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS="--no-sandbox ${QTWEBENGINE_CHROMIUM_FLAGS:-}"
fi

cd "$DEMO"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  setsid xvfb-run -a ./Trailstarter "$@" &
else
  setsid ./Trailstarter "$@" &
fi
LAUNCHER=$!
PIDS+=("$LAUNCHER")
STATUS=0
wait "$LAUNCHER" || STATUS=$?
exit "$STATUS"
