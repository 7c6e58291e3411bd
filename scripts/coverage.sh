#!/bin/sh
# coverage.sh - line and branch coverage of the library's own sources.
#
# Builds the preset "coverage" (build/coverage: the library's objects
# instrumented with gcov, without optimisation and without the debug
# checks), runs the whole ctest suite once from clean counters, and prints
# what gcovr counts in lib_common/, scheduler/, threadpool/, queues/,
# platform/ and conhelper/ (tests, tools, examples, benchmarks and fuzz
# targets are not measured): the per-file table of lines, then of
# branches, then the totals (also kept in build/coverage.txt).  Installs
# what is missing (as root).
# Exits nonzero when a test fails, since the figures of a failed run would
# mean nothing.
#
#   scripts/coverage.sh
#
# Branches left out of the count, each not the library's logic:
#  - the branches the compiler adds for exceptions (--exclude-throw-branches):
#    the library is built without exceptions, but a call into the standard
#    library may still carry an unwinding edge that no input can take;
#  - branches on lines without code of their own, which gcc emits for the
#    end of a scope or a destructor call (--exclude-unreachable-branches).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh

lc_need $LC_BUILD_PACKAGES $LC_RUNTIME_PACKAGES $LC_COVERAGE_PACKAGES
lc_need_syslogd

. scripts/steps.sh
dir=build/coverage
mkdir -p build
lc_build coverage
# Counters of an earlier run would add to this one's.
find "$dir" -name '*.gcda' -delete
status=0
lc_ctest "$dir" || status=1

set -- --root "$root" --object-directory "$dir" \
    --filter 'lib_common/' --filter 'scheduler/' --filter 'threadpool/' \
    --filter 'queues/' --filter 'platform/' --filter 'conhelper/' \
    --exclude-throw-branches --exclude-unreachable-branches
echo "=== coverage: lines"
gcovr "$@" --txt
echo "=== coverage: branches"
gcovr "$@" --txt --branches
echo "=== coverage: totals"
# gcovr tries an output path by creating and then removing it: never give
# it a device such as /dev/null.
gcovr "$@" --print-summary --txt "$dir.txt" | grep -E '^(lines|functions|branches):'

[ $status -eq 0 ] || echo "coverage: some tests FAILED (see $dir.ctest.log)" >&2
exit $status
