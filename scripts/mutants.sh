#!/bin/sh
# mutants.sh - how many planted faults the suite notices.
#
# Plants N single-operator faults (a comparison turned: < <=, > >=, == !=;
# && ||; + 1 and - 1 swapped; return 0 and return -1 swapped; true and
# false swapped), one at a time, at places drawn with SEED (each place
# ranked by a hash of its text, so that a change elsewhere leaves the
# choice of the other places as it was) from the
# library's own sources (lib_common/, scheduler/, threadpool/, queues/,
# platform/, conhelper/; not the tests, tools, benchmarks or fuzz targets;
# not in debug checks or preprocessor lines, which the host build does not
# compile).  Each fault is built into a copy of the tree in build/mutants
# (a host test build of its own: other builds are untouched, and only the
# changed object and what links it statically are rebuilt), and the suite
# runs until its first failure, the changed folder's tests first.  Prints
# each fault as killed (with the test that failed), survived (with its
# diff) or not built, the survivors again at the end, and the totals.
# Faults listed in scripts/mutants.equivalent change nothing a caller can
# see; they are counted apart.
#
#   scripts/mutants.sh [N] [SEED]      (default: 200 faults, seed 1)
#
# Left out of the mutant suite, since no logic fault can fail them and they
# take minutes: the package, installation and documentation checks and the
# ABI baseline (LC_MUTANT_EXCLUDE, a ctest regex, replaces the list).
# Each test may run 30 s (a fault that makes a test hang kills it then).
# Runs under nice; the full log of each fault is in
# build/mutants/build/mutant-logs/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh

lc_need $LC_BUILD_PACKAGES $LC_RUNTIME_PACKAGES python3
lc_need_syslogd

count=${1:-200}
seed=${2:-1}
dir=build/mutants
: "${LC_MUTANT_EXCLUDE:=^(consumer\.|board\.|abi\.|exports\.|docs\.|package\.)}"
export LC_MUTANT_EXCLUDE

# The copy: the tree as it is now, build output and history left out.
mkdir -p "$dir/src" "$dir/build"
python3 scripts/mutants.py --sync "$root" "$dir/src"

# A plain test build; programs linked to the shared library are not relinked
# when only its contents change.
echo "=== mutants: configure and build"
cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=ON -DLC_WERROR=ON -DCMAKE_LINK_DEPENDS_NO_SHARED=ON \
    -DLC_TEST_TIMEOUT=30 > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
nice -n 10 ninja -C "$dir/build" -j "${LC_JOBS:-2}" > "$dir/build.log" 2>&1 || {
    tail -n 40 "$dir/build.log"; exit 1; }

echo "=== mutants: the suite without faults"
(cd "$dir/build" && nice -n 10 ctest -j2 -E "$LC_MUTANT_EXCLUDE" --output-on-failure) > "$dir/clean.log" 2>&1 || {
    tail -n 30 "$dir/clean.log"; echo "mutants: the suite fails without any fault" >&2; exit 1; }
tail -n 3 "$dir/clean.log"

exec nice -n 10 python3 scripts/mutants.py "$dir/src" "$dir/build" "$count" "$seed" scripts/mutants.equivalent
