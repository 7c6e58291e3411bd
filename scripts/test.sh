#!/bin/sh
# test.sh - checks the formatting of the sources, builds the library and
# runs the whole suite, in every build that counts: a normal host build, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer, the 32-bit ARM target under qemu, the Debian packages
# for amd64 and armhf (built from the release presets and checked by
# scripts/package.sh), the packages installed and tested on an emulated
# armhf board (scripts/board.sh), the reference (scripts/docs.sh: every
# export documented, no Doxygen warning), and a short smoke run of every
# fuzz target.  The
# builds are the presets of CMakePresets.json of the same names; each treats
# a warning in the project's own sources as an error.  Installs what is
# missing (as root).  Exits nonzero when anything fails.
#
#   scripts/test.sh [format|host|asan|tsan|armhf|package|board|docs|fuzz ...]   (default: all)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh

builds=${*:-format host asan tsan armhf package board docs fuzz}
lc_need $LC_BUILD_PACKAGES $LC_RUNTIME_PACKAGES
lc_need_syslogd
case " $builds " in *" armhf "*|*" package "*) lc_need $LC_CROSS_PACKAGES ;; esac
case " $builds " in *" package "*) lc_need $LC_PACKAGE_PACKAGES ;; esac
case " $builds " in *" fuzz "*) lc_need $LC_FUZZ_PACKAGES ;; esac
case " $builds " in *" format "*) lc_need $LC_FORMAT_PACKAGES ;; esac

jobs=${LC_JOBS:-2}
summary=""
status=0

# run_build NAME: configures the preset NAME (build/NAME, -DLC_WERROR=ON),
# builds it and runs its ctest.
run_build() {
    name=$1
    dir=build/$name
    echo "=== $name: configure and build"
    cmake --preset "$name" > "$dir.configure.log" 2>&1 || {
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
    if [ "$b" = format ]; then
        if scripts/format.sh --check > build/format.log 2>&1; then
            result=passed; else result=FAILED; status=1; fi
        echo "=== format"
        tail -n 1 build/format.log
        summary="$summary
  format: $result ($(tail -n 1 build/format.log | sed 's/^format: //'))"
        continue
    fi
    if [ "$b" = fuzz ]; then
        if LC_WERROR=ON scripts/fuzz.sh "${LC_FUZZ_SMOKE_SECS:-10}" > build/fuzz.smoke.log 2>&1; then
            result=passed; else result=FAILED; status=1; fi
        cat build/fuzz.smoke.log
        summary="$summary
  fuzz smoke: $result ($(grep -c '^fuzz .*: ok' build/fuzz.smoke.log) targets clean)"
        continue
    fi
    if [ "$b" = board ]; then
        if scripts/board.sh build/packages > build/board.log 2>&1; then
            result=passed; else result=FAILED; status=1; fi
        cat build/board.log
        summary="$summary
  board: $result ($(sed -n 's/^=== board: powered off after \([0-9]*\) s; \([^;]*\); step \([0-9]*\) s.*/\2; boot to power-off \1 s, step \3 s/p' build/board.log))"
        continue
    fi
    if [ "$b" = docs ]; then
        if scripts/docs.sh > build/docs.log 2>&1; then
            result=passed; else result=FAILED; status=1; fi
        cat build/docs.log
        summary="$summary
  docs: $result ($(sed -n 's/^docs: \([0-9]*\) functions.*/\1 functions with a thread-safety line, no warnings/p' build/docs.log)$(sed -n 's/^docs: HTML .*(\([0-9]*\) pages); man pages .*(\([0-9]*\) pages, \([0-9]*\) links)/; \1 HTML pages, \2 man pages, \3 links/p' build/docs.log))"
        continue
    fi
    if [ "$b" = package ]; then
        if scripts/package.sh build/packages > build/package.log 2>&1; then
            result=passed; else result=FAILED; status=1; fi
        cat build/package.log
        summary="$summary
  package: $result ($(grep -c '^=== [a-z0-9]*: check' build/package.log || true) architectures, $(grep -c '^ok ' build/package.log || true) checks passed, $(grep -c '^FAIL' build/package.log || true) failed)"
        continue
    fi
    case $b in
        host|asan|tsan|armhf) ;;
        *) echo "unknown build: $b" >&2; exit 2 ;;
    esac
    if run_build "$b"; then
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
