# steps.sh - sourced by test.sh and coverage.sh: the shape of one step.
#
#   lc_build PRESET     configures the preset (build/PRESET; its log in
#                       build/PRESET.configure.log) and builds it
#   lc_ctest DIR        runs DIR's ctest (its log in DIR.ctest.log) and
#                       prints its summary and the tests that failed
#   lc_step NAME LOG SHOW SUMMARY COMMAND...
#                       runs COMMAND with its output in LOG, prints
#                       "=== NAME" and what `SHOW LOG` prints, and adds
#                       "NAME: passed|FAILED (what `SUMMARY LOG` prints)"
#                       to $lc_summary; a failure sets lc_status=1
# LC_JOBS sets the jobs of the builds and of ctest (default 2).

lc_summary=""
lc_status=0

lc_build() {
    echo "=== $1: configure and build"
    cmake --preset "$1" > "build/$1.configure.log" 2>&1 || {
        cat "build/$1.configure.log"; return 1; }
    cmake --build "build/$1" -j "${LC_JOBS:-2}"
}

lc_ctest() {
    echo "=== $(basename "$1"): ctest"
    rc=0
    (cd "$1" && ctest -j "${LC_JOBS:-2}" --output-on-failure --timeout 600) > "$1.ctest.log" 2>&1 || rc=1
    tail -n 40 "$1.ctest.log" | sed -n '/tests passed/,$p'
    grep -E "Test +#.*\*\*\*|Failed|Timeout|Not Run" "$1.ctest.log" | head -50 || true
    return $rc
}

lc_step() {
    name=$1; log=$2; show=$3; describe=$4; shift 4
    if "$@" > "$log" 2>&1; then result=passed; else result=FAILED; lc_status=1; fi
    echo "=== $name"
    "$show" "$log"
    lc_summary="$lc_summary
  $name: $result ($("$describe" "$log"))"
}
