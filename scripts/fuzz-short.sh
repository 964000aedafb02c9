#!/usr/bin/env bash
# The test command's fuzz step: builds the fuzz targets (clang-14, build/fuzz), replays each
# target's corpus (tests/fuzz/corpus/<target>, which keeps every input that once failed) and
# then fuzzes it for a few seconds (SECONDS_EACH, default 4), JOBS targets at once. One line per
# target; the log of a failing one is shown. Exits non-zero on any crash, leak or time-out.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
export SECONDS_EACH=${SECONDS_EACH:-4}
export OUT=$(pwd)/build/fuzz-ci

CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="-O1 -g" -DTRAILSTARTER_FUZZ=ON -DTRAILSTARTER_BUILD_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "$JOBS" --target fuzz_targets >/dev/null

rm -rf "$OUT" && mkdir -p "$OUT/logs" "$OUT/artifacts" "$OUT/grown" "$OUT/scratch"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TMPDIR=$OUT/scratch

run_one() {
    local t=$1 dict=() rc=0
    mkdir -p "$OUT/grown/$t"
    [ -f "tests/fuzz/$t.dict" ] && dict=(-dict="tests/fuzz/$t.dict")
    # New inputs go to the scratch corpus (first folder), never into the repository's.
    "build/fuzz/tests/fuzz/$t" "${dict[@]}" -max_total_time="$SECONDS_EACH" -timeout=2 -rss_limit_mb=512 \
        -malloc_limit_mb=256 -artifact_prefix="$OUT/artifacts/$t-" "$OUT/grown/$t" "tests/fuzz/corpus/$t" \
        > "$OUT/logs/$t.log" 2>&1 || rc=$?
    if [ "$rc" -eq 0 ]; then
        echo "fuzz ok     $t ($(grep -o 'Done [0-9]* runs' "$OUT/logs/$t.log" | tail -1))"
    else
        echo "fuzz FAILED $t (rc=$rc; log $OUT/logs/$t.log)"
        grep -E 'ERROR|SUMMARY|fuzz: |#[0-9]+ 0x.* in .*/(foundation|delivery|launcher|platform|tests)/' \
            "$OUT/logs/$t.log" | head -12
    fi
    return "$rc"
}
export -f run_one

ls tests/fuzz/fuzz_*.cpp | xargs -n1 basename | sed 's/\.cpp$//' | xargs -P "$JOBS" -I{} bash -c 'run_one {}'
