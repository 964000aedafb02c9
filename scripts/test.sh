#!/usr/bin/env bash
# Builds Trailstarter with AddressSanitizer + UndefinedBehaviorSanitizer and runs the whole test
# suite, then builds the threading tests with ThreadSanitizer and runs them, then builds the web
# browser's own test without sanitizers (the browser engine is never started under them). Between
# the last two, the fuzz targets (clang) replay their corpora and fuzz for a few seconds each.
# Installs the missing Debian packages first, then checks the include layers of the libraries
# and the launcher (scripts/check-include-layers.py) before anything is built. Exits non-zero on
# any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash scripts/install-deps.sh

echo "== Include layers (each folder of the libraries and the launcher includes only those below)"
python3 scripts/check-include-layers.py

JOBS=$(nproc)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/sanitizer/tsan.supp"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

configure() {  # configure DIR SANITIZER
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O1 -g" \
        -DTRAILSTARTER_SANITIZE="$2" -DTRAILSTARTER_BUILD_TESTS=ON >/dev/null
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
configure build/asan address
cmake --build build/asan -j "$JOBS"
ctest --test-dir build/asan --output-on-failure -j "$JOBS" --timeout 300

echo "== ThreadSanitizer build (threading tests)"
configure build/tsan thread
cmake --build build/tsan -j "$JOBS"
ctest --test-dir build/tsan -L threading --output-on-failure -j "$JOBS" --timeout 300

echo "== Fuzz targets (clang-14): replay of every corpus, then a few seconds each"
JOBS="$JOBS" bash scripts/fuzz-short.sh

echo "== Browser test (no sanitizer; starts the browser engine)"
configure build/plain ""
cmake --build build/plain -j "$JOBS" --target web_WebBrowserTest
# The engine's sandbox needs user namespaces that a root or container run lacks.
if [ "$(id -u)" -eq 0 ]; then
  export QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS="--no-sandbox ${QTWEBENGINE_CHROMIUM_FLAGS:-}"
fi
ctest --test-dir build/plain -L webengine --output-on-failure --timeout 300
