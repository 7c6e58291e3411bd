#!/bin/sh
# bench.sh - builds the library and its benchmarks in Release and runs every
# benchmark, each beside its baselines in the same binary run (repeated, in
# random interleaved order, medians kept), then prints one table with the
# library's figures, the baselines, their ratios and the goals.  Installs
# what is missing (as root): Google Benchmark, and the peer libraries whose
# rows are built only when they are there (spdlog, GLib, Boost).
#
# Traces at the shipped levels go to syslog, as on the device: where /dev/log
# is live the rows use that daemon; otherwise each binary runs beside a
# busybox syslogd of its own in a private /dev (scripts/syslogd.sh), gone
# when the binary ends, also on failure or Ctrl-C.  Its records go to
# build/bench/syslog-<binary>.log (busybox rotates each at 200 KB).
#
#   scripts/bench.sh [regex]     (only the benchmarks whose name matches)
#
#   LC_BENCH_REPS   repetitions of each benchmark (default 7)
#   LC_BENCH_TIME   minimum seconds per repetition (default 0.1)
#
# The binaries stay in build/bench/bench/ for single runs; the JSON results
# go to build/bench/results/ and the table to build/bench/results.md.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh

lc_need $LC_BUILD_PACKAGES $LC_BENCH_PACKAGES
lc_need_syslogd

filter=${1:-.}
reps=${LC_BENCH_REPS:-7}
min_time=${LC_BENCH_TIME:-0.1}
jobs=${LC_JOBS:-2}
dir=build/bench
results=$dir/results

mkdir -p build
echo "=== configure and build (Release)"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLC_BUILD_BENCH=ON \
    -DLC_BUILD_TESTS=OFF -DLC_BUILD_EXAMPLES=OFF > "$dir.configure.log" 2>&1 || {
    cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j "$jobs"

# ---- Scheduler rows ------------------------------------------------------
# add_task(0,0) start latency and the 10 ms fixed-period lateness are built
# into bench_sched as soon as scheduler/task_process.h declares the task
# functions (bench/CMakeLists.txt looks for them); until then the table
# says "pending" and shows only their clock_nanosleep baselines.

rm -rf "$results"
mkdir -p "$results"
status=0

# run_bench EXE OUT: runs the benchmarks of EXE that match the filter, with
# a syslog daemon listening, into the JSON file OUT.  A binary with no
# benchmark matching the filter leaves an empty file, which the report
# skips.
run_bench() {
    scripts/syslogd.sh --use-live "$dir/syslog-$(basename "$2" .json).log" \
        "$1" --benchmark_filter="$filter" \
        --benchmark_repetitions="$reps" \
        --benchmark_min_time="$min_time" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_display_aggregates_only=true \
        --benchmark_out="$2" --benchmark_out_format=json
}

for exe in "$dir"/bench/bench_*; do
    [ -x "$exe" ] || continue
    name=$(basename "$exe")
    echo "=== $name"
    run_bench "$exe" "$results/$name.json" || { echo "($name failed)"; status=1; }
    # The queue rows once more with glibc's heap trimming off, for the
    # analysis: the queues' own cost, without the allocator giving the
    # writer's heap back to the system whenever a queue drains.
    if [ "$name" = bench_queue ]; then
        echo "=== $name, heap trimming off"
        (GLIBC_TUNABLES=glibc.malloc.trim_threshold=2147483647 && export GLIBC_TUNABLES &&
            run_bench "$exe" "$results/${name}_notrim.json") || { echo "($name failed)"; status=1; }
    fi
done

echo "=== results (medians of $reps repetitions; ratio above 1: the library is ahead)"
python3 bench/report.py "$results" > "$dir/results.md"
cat "$dir/results.md"

exit $status
