#!/bin/sh
# soak.sh - runs the stress test (tests/reliability/test_stress.cpp) again and
# again in the ThreadSanitizer build for the given number of minutes, then
# reports the runs, the tasks scheduled and run, the commands written into
# the pipe, and every failure (a failed run's log stays in build/soak/).
# Ctrl-C ends the soak early with the figures so far.  Exits nonzero when
# any run failed.
#
#   scripts/soak.sh MINUTES
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh

usage() { echo "usage: scripts/soak.sh MINUTES" >&2; exit 2; }
[ $# = 1 ] || usage
minutes=$1
case $minutes in '' | *[!0-9]*) usage ;; esac

lc_need $LC_BUILD_PACKAGES $LC_RUNTIME_PACKAGES
dir=build/tsan
mkdir -p build
echo "=== tsan: configure and build the stress test"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLC_SANITIZE=thread \
    > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j "${LC_JOBS:-2}" --target test_stress > build/soak.build.log 2>&1 ||
    { tail -n 40 build/soak.build.log; exit 1; }
stress=$dir/tests/reliability/test_stress

out=build/soak
rm -rf "$out"
mkdir -p "$out"
runs=0 failed=0 tasks=0 task_runs=0 late=0 commands=0 writes=0 stopped=0
trap 'stopped=1' INT TERM
echo "=== soak: the stress test again and again for $minutes min"
start=$(date +%s)
end=$((start + minutes * 60))
while [ $stopped = 0 ] && [ "$(date +%s)" -lt $end ]; do
    runs=$((runs + 1))
    log=$out/run-$runs.log
    # A run takes seconds; one that takes minutes hangs.
    if timeout 300 "$stress" > "$log" 2>&1 && ! grep -q 'ThreadSanitizer' "$log" &&
            grep -q '^stress: .* tasks scheduled' "$log"; then
        # "stress: 6000 tasks scheduled by 4 threads, 16 kept to the end; 11741 runs, 3 entered after their removal"
        # "stress: 4086 commands in 1362 writes; pool grew from 2 to 8 workers, then shrank to 2"
        set -- $(sed -n 's/^stress: \([0-9]*\) tasks scheduled .*; \([0-9]*\) runs, \([0-9]*\) entered.*/\1 \2 \3/p
                         s/^stress: \([0-9]*\) commands in \([0-9]*\) writes.*/\1 \2/p' "$log")
        tasks=$((tasks + $1)) task_runs=$((task_runs + $2)) late=$((late + $3))
        commands=$((commands + $4)) writes=$((writes + $5))
        rm -f "$log"
    elif [ $stopped = 1 ]; then
        runs=$((runs - 1))  # cut short by Ctrl-C: not counted
        rm -f "$log"
    else
        failed=$((failed + 1))
        echo "run $runs FAILED (log: $log):"
        tail -n 30 "$log"
    fi
done
secs=$(($(date +%s) - start))

[ $stopped = 1 ] && echo "(stopped early)"
echo "soak: $runs runs in $secs s, $failed failed"
echo "soak: $tasks tasks scheduled, $task_runs task runs ($late entered after their removal)"
echo "soak: $commands commands in $writes writes into the pipe"
[ $failed = 0 ]
