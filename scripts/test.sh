#!/bin/sh
# test.sh - builds the library and runs the whole suite, in every build that
# counts: a normal host build, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer, the 32-bit ARM target under qemu, and a short smoke run of
# every fuzz target.  Installs what is missing (as root).  Exits nonzero when
# anything fails.
#
#   scripts/test.sh [host|asan|tsan|armhf|fuzz ...]   (default: all)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh

builds=${*:-host asan tsan armhf fuzz}
lc_need $LC_BUILD_PACKAGES $LC_RUNTIME_PACKAGES
lc_need_syslogd
case " $builds " in *" armhf "*) lc_need $LC_CROSS_PACKAGES ;; esac
case " $builds " in *" fuzz "*) lc_need $LC_FUZZ_PACKAGES ;; esac

jobs=${LC_JOBS:-2}
summary=""
status=0

run_build() {
    name=$1; shift
    dir=build/$name
    echo "=== $name: configure and build"
    cmake -S . -B "$dir" -G Ninja "$@" > "$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j "$jobs" || return 1
    echo "=== $name: ctest"
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600) > "$dir.ctest.log" 2>&1
    rc=$?
    tail -n 40 "$dir.ctest.log" | sed -n '/tests passed/,$p'
    grep -E "Test +#.*\*\*\*|Failed|Timeout|Not Run" "$dir.ctest.log" | head -50 || true
    return $rc
}

mkdir -p build
for b in $builds; do
    if [ "$b" = fuzz ]; then
        if scripts/fuzz.sh "${LC_FUZZ_SMOKE_SECS:-10}" > build/fuzz.smoke.log 2>&1; then
            result=passed; else result=FAILED; status=1; fi
        cat build/fuzz.smoke.log
        summary="$summary
  fuzz smoke: $result ($(grep -c '^fuzz .*: ok' build/fuzz.smoke.log) targets clean)"
        continue
    fi
    case $b in
        host)  set -- -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
        asan)  set -- -DCMAKE_BUILD_TYPE=Debug -DLC_SANITIZE=address,undefined ;;
        tsan)  set -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLC_SANITIZE=thread ;;
        armhf) set -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-armhf.cmake" ;;
        *) echo "unknown build: $b" >&2; exit 2 ;;
    esac
    if run_build "$b" "$@"; then
        result="passed"
    else
        result="FAILED"; status=1
    fi
    count=$(grep -Eo "[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+" "build/$b.ctest.log" 2>/dev/null | tail -n 1)
    summary="$summary
  $b: $result (${count:-no tests run})"
done

echo "=== summary:$summary"
exit $status
