#!/bin/sh
# fuzz.sh - builds the libFuzzer targets with clang (ASan + UBSan) and fuzzes
# each for a given time.  A crash is saved into the target's regression
# corpus (fuzz/corpus/<target>/), which every ctest run replays.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target...]
#   LC_WERROR=ON makes a warning in the project's own sources an error.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh
lc_need $LC_BUILD_PACKAGES $LC_FUZZ_PACKAGES

secs=${1:-60}
[ $# -gt 0 ] && shift
dir=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLC_FUZZ=ON -DLC_WERROR="${LC_WERROR:-OFF}" -DLC_SHARED=OFF -DLC_SANITIZE=address,undefined -DLC_BUILD_TESTS=OFF -DLC_BUILD_EXAMPLES=OFF \
    > build/fuzz.configure.log 2>&1 || { cat build/fuzz.configure.log; exit 1; }
cmake --build "$dir" -j "${LC_JOBS:-2}" > build/fuzz.build.log 2>&1 || { tail -n 40 build/fuzz.build.log; exit 1; }

targets=${*:-$(ls fuzz/fuzz_*.cpp | sed 's|fuzz/fuzz_||; s|\.cpp$||')}
status=0
for t in $targets; do
    work=build/fuzz-corpus/$t
    mkdir -p "$work" "fuzz/corpus/$t"
    log=build/fuzz-$t.log
    if "$dir/fuzz/fuzz_$t" "$work" "fuzz/corpus/$t" -max_total_time="$secs" \
            -print_final_stats=1 -artifact_prefix="fuzz/corpus/$t/crash-" > "$log" 2>&1; then
        result=ok
    else
        result="FAILED (input saved under fuzz/corpus/$t/)"; status=1
        tail -n 30 "$log"
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz $t: $result, ${secs}s, ${execs:-?} executions, ${rate:-?} exec/s"
done
exit $status
