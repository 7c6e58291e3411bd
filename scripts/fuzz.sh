#!/bin/sh
# fuzz.sh - builds the libFuzzer targets with clang (ASan + UBSan) and fuzzes
# each for a given time.  A crash is saved into the target's regression
# corpus (fuzz/corpus/<target>/), which every ctest run replays.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target...]
#   LC_WERROR=ON makes a warning in the project's own sources an error.
#   LC_FUZZ_JOBS=N fuzzes up to N targets at once (default 1).
#   LC_FUZZ_MERGE=1 afterwards merges what each run found into the target's
#     regression corpus (-merge=1: only inputs that add coverage to it).
#
# Per target it prints the seconds, executions, executions a second,
# coverage features, inputs in the fuzzer's corpus and the load average
# at the end of the run; the fuzzer's output goes to build/fuzz-<target>.log.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh
lc_need $LC_BUILD_PACKAGES $LC_FUZZ_PACKAGES

secs=${1:-60}
[ $# -gt 0 ] && shift
jobs=${LC_FUZZ_JOBS:-1}
dir=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLC_FUZZ=ON -DLC_WERROR="${LC_WERROR:-OFF}" -DLC_SHARED=OFF -DLC_SANITIZE=address,undefined -DLC_BUILD_TESTS=OFF -DLC_BUILD_EXAMPLES=OFF \
    > build/fuzz.configure.log 2>&1 || { cat build/fuzz.configure.log; exit 1; }
cmake --build "$dir" -j "${LC_JOBS:-2}" > build/fuzz.build.log 2>&1 || { tail -n 40 build/fuzz.build.log; exit 1; }

targets=${*:-$(ls fuzz/fuzz_*.cpp | sed 's|fuzz/fuzz_||; s|\.cpp$||')}

# fuzz_one TARGET: one run; writes its summary line to build/fuzz-TARGET.result
# and returns nonzero when the target failed.
fuzz_one() {
    t=$1
    work=build/fuzz-corpus/$t
    mkdir -p "$work" "fuzz/corpus/$t"
    log=build/fuzz-$t.log
    if "$dir/fuzz/fuzz_$t" "$work" "fuzz/corpus/$t" -max_total_time="$secs" \
            -print_final_stats=1 -artifact_prefix="fuzz/corpus/$t/crash-" > "$log" 2>&1; then
        result=ok; rc=0
    else
        result="FAILED (input saved under fuzz/corpus/$t/)"; rc=1
    fi
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    # The last status line: "#N DONE cov: C ft: F corp: K/S ...".
    last=$(grep -E '^#[0-9]+.* ft: ' "$log" | tail -n 1)
    ft=$(echo "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
    corp=$(echo "$last" | sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p')
    echo "fuzz $t: $result, ${secs}s, ${execs:-?} executions, ${rate:-?} exec/s, ${ft:-?} features, ${corp:-?} corpus inputs, load $load" \
        > "build/fuzz-$t.result"
    if [ "$rc" -ne 0 ]; then
        tail -n 30 "$log" >> "build/fuzz-$t.result"
    elif [ "${LC_FUZZ_MERGE:-0}" = 1 ]; then
        before=$(ls "fuzz/corpus/$t" | wc -l)
        "$dir/fuzz/fuzz_$t" -merge=1 "fuzz/corpus/$t" "$work" > "build/fuzz-$t.merge.log" 2>&1 || {
            tail -n 20 "build/fuzz-$t.merge.log" >> "build/fuzz-$t.result"; return 1; }
        echo "  merged into fuzz/corpus/$t: $before -> $(ls "fuzz/corpus/$t" | wc -l) files" >> "build/fuzz-$t.result"
    fi
    return $rc
}

# The targets go round-robin into $jobs lanes that run side by side; each
# lane fuzzes its targets one after the other.
status=0
lane=0
pids=""
while [ "$lane" -lt "$jobs" ]; do
    mine=$(echo $targets | tr ' ' '\n' | awk -v n="$jobs" -v k="$lane" 'NF && (NR - 1) % n == k')
    if [ -n "$mine" ]; then
        (
            rc=0
            for t in $mine; do
                rm -f "build/fuzz-$t.result"
                fuzz_one "$t" || rc=1
            done
            exit $rc
        ) &
        pids="$pids $!"
    fi
    lane=$((lane + 1))
done
for pid in $pids; do
    wait "$pid" || status=1
done
for t in $targets; do
    cat "build/fuzz-$t.result"
done
exit $status
