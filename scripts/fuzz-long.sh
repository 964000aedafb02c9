#!/usr/bin/env bash
# Runs the fuzz targets for long: each until 10 million runs (or RUNS) with at most 1 s per
# input and 256 MB of memory, at most 3 at once (or JOBS), at the lowest priority.
# Usage: scripts/fuzz-long.sh [TARGET...]   (default: every target, archives first)
# A slow target can be split into parts that run side by side, each doing its share of the runs
# on the one grown corpus: SPLIT="fuzz_zip_open=4 fuzz_file_list=3".
# The build is build/fuzz (clang-14); each target's grown corpus is build/fuzz-long/corpus/<target>
# (seeded from tests/fuzz/corpus/<target>), its log build/fuzz-long/logs/<target>.log and any
# failing input build/fuzz-long/artifacts/<target>-crash-*. A summary line per target goes to
# build/fuzz-long/summary.txt. Exits non-zero when a target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
RUNS=${RUNS:-10000000}
JOBS=${JOBS:-3}
OUT=$ROOT/build/fuzz-long

CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="-O1 -g" -DTRAILSTARTER_FUZZ=ON -DTRAILSTARTER_BUILD_TESTS=OFF >/dev/null
nice -n 19 cmake --build build/fuzz -j "$JOBS" --target fuzz_targets >/dev/null

# The archives, the slowest (files and folders per input), take two slots from the start; the
# third works through the in-memory readers and then the other file readers.
SLOW="fuzz_zip_extractor fuzz_zip_open"
FILES="fuzz_file_descriptors fuzz_planet_list fuzz_corrupt_list fuzz_crash_log"
ALL="$SLOW $(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//' | grep -vxE "$(echo $SLOW $FILES | tr ' ' '|')") $FILES"
TARGETS=${*:-$ALL}
mkdir -p "$OUT/logs" "$OUT/artifacts" "$OUT/scratch"
echo "== $(date -u +%FT%TZ) $*" >> "$OUT/summary.txt"

# A time-out is checked again: the long runs share a loaded machine at the lowest priority, and
# libFuzzer's time-out is wall-clock time, so a starved process can overrun it on an input that
# takes milliseconds. The input is replayed three times at normal priority; when every replay
# stays below the time-out the run goes on where it stopped (its corpus kept, its runs counted)
# and the summary names the input, otherwise the target has failed.
run_one() {
    local t=$1 part=${2:-1} parts=${3:-1} dict=() rc=0 total=0 start=$SECONDS segment=0 runs execs log
    local share=$(( (RUNS + parts - 1) / parts )) name=$t
    [ "$parts" -gt 1 ] && name=$t.part$part
    mkdir -p "$OUT/corpus/$t"
    [ -f "tests/fuzz/$t.dict" ] && dict=(-dict="tests/fuzz/$t.dict")
    while [ "$total" -lt "$share" ]; do
        segment=$((segment + 1))
        log=$OUT/logs/$name.log
        [ "$segment" -gt 1 ] && log=$OUT/logs/$name.$segment.log
        rc=0
        TMPDIR=/dev/shm nice -n 19 "build/fuzz/tests/fuzz/$t" "${dict[@]}" -runs=$((share - total)) -timeout=1 \
            -rss_limit_mb=256 -malloc_limit_mb=256 -purge_allocator_interval=10 -print_final_stats=1 -artifact_prefix="$OUT/artifacts/$t-" \
            "$OUT/corpus/$t" "tests/fuzz/corpus/$t" > "$log" 2>&1 || rc=$?
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
        total=$((total + ${runs:-0}))
        [ "$rc" -eq 0 ] && break
        local unit
        unit=$(sed -n 's/.*Test unit written to \(.*-timeout-.*\)$/\1/p' "$log" | tail -1)
        [ -n "$unit" ] || break
        local replay ok=1
        for replay in 1 2 3; do
            TMPDIR=/dev/shm "build/fuzz/tests/fuzz/$t" -timeout=1 -rss_limit_mb=256 -malloc_limit_mb=256 \
                "$unit" > "$OUT/logs/$name.replay.log" 2>&1 || ok=0
        done
        [ "$ok" -eq 1 ] || break
        echo "$name: starved time-out, replays pass: $(basename "$unit") $(grep -o 'in [0-9]* ms' "$OUT/logs/$name.replay.log")" \
            >> "$OUT/summary.txt"
        rc=0
    done
    echo "$name rc=$rc runs=$total last-exec/s=${execs:-?} seconds=$((SECONDS - start)) segments=$segment" \
        | tee -a "$OUT/summary.txt"
    return "$rc"
}
export -f run_one
export OUT RUNS ROOT

# run_one's -purge_allocator_interval=10: above half the RSS limit libFuzzer purges the
# allocator every second by default, hundreds of madvise calls each time, which with eight
# fuzzers side by side cost more than half their speed (zip_open: ~550 against ~1,340 runs/s
# each). The RSS limit is still checked every second.
# A smaller quarantine than ASan's 256 MB, so that the RSS limit measures the reader.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=0:quarantine_size_mb=32"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for t in $TARGETS; do
    parts=1
    for s in ${SPLIT:-}; do [ "${s%%=*}" = "$t" ] && parts=${s#*=}; done
    for part in $(seq "$parts"); do echo "$t $part $parts"; done
done | xargs -P "$JOBS" -L1 bash -c 'run_one "$@"' _
