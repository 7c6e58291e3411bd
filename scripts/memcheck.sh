#!/bin/sh
# memcheck.sh - runs every test binary of the host build under valgrind's
# memcheck: no memory error and no definite leak may be reported.
#
#   scripts/memcheck.sh [gtest filter, default: all]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh
lc_need $LC_BUILD_PACKAGES $LC_RUNTIME_PACKAGES valgrind
# Left out under valgrind: the crash report, whose raw stack dump reads
# stack words the program never wrote (memcheck rightly calls them
# uninitialised).
excluded="CrashFile.*"
filter=${1:-*-$excluded}
dir=build/memcheck
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$dir" -j "${LC_JOBS:-2}" > /dev/null
status=0
for bin in $(find "$dir/tests" -type f -name 'test_*' -perm -u+x | sort); do
    name=$(basename "$bin")
    log=build/memcheck-$name.log
    # Death tests and children re-run the binary; valgrind follows them too.
    if LC_UNDER_VALGRIND=1 valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
            --errors-for-leak-kinds=definite --show-leak-kinds=definite --trace-children=yes \
            --child-silent-after-fork=yes --quiet \
            "$bin" --gtest_filter="$filter" --gtest_brief=1 > "$log" 2>&1; then
        echo "memcheck $name: clean"
    else
        echo "memcheck $name: FAILED (see $log)"; status=1
        grep -E "^==[0-9]+==|FAILED" "$log" | head -20
    fi
done
exit $status
